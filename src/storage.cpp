// SPDX-License-Identifier: MIT
// What two open files stand on, compared: the rule every host's checks come down to.
#include "storage.h"

namespace {

bool known(const file_id& id)
{
    return id.device != UNTOLD_DEVICE || id.index != 0 || id.index_high != 0;
}

bool same_id(const file_id& a, const file_id& b)
{
    // A device that a host could not tell is taken for any.
    bool device = a.device == b.device || a.device == UNTOLD_DEVICE || b.device == UNTOLD_DEVICE;
    return known(a) && known(b) && device && a.index == b.index && a.index_high == b.index_high;
}

// Whether a place of one meets a place of the other: any two, or two that both hold the bytes.
bool places_meet(const storage& a, const storage& b, bool both_hold)
{
    for (std::size_t i = 0; i < a.count; ++i)
        for (std::size_t j = 0; j < b.count; ++j) {
            const storage_place& p = a.place[i];
            const storage_place& q = b.place[j];
            // Somewhere in one disk, both: two files side by side.
            bool counts = both_hold ? p.holds && q.holds : p.holds || q.holds;
            if (counts && same_id(p.id, q.id) && p.start < q.end && q.start < p.end)
                return true;
        }
    return false;
}

} // namespace

file_facts facts_of_kind(file_kind kind)
{
    file_facts facts = {};
    facts.kind = kind;
    facts.under.followed = true;
    facts.length = -1;
    return facts;
}

bool holds_bytes(const file_facts& facts)
{
    return facts.kind == file_kind::regular || facts.kind == file_kind::block_device;
}

bool share_storage(const file_facts& a, const file_facts& b)
{
    return same_id(a.id, b.id) || places_meet(a.under, b.under, false);
}

bool share_bytes(const storage& a, const storage& b)
{
    return places_meet(a, b, true);
}

bool surely_apart(const file_facts& file, const file_facts* others, std::size_t count)
{
    bool apart = file.under.followed;
    for (std::size_t i = 0; i < count; ++i)
        apart = apart && others[i].under.followed && !share_storage(file, others[i]);
    return apart;
}
