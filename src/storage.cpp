// SPDX-License-Identifier: MIT
// What two open files stand on, compared: the rule every host's checks
// come down to.
#include <cstdint>

#include "storage.h"

namespace {

bool known(const file_id& id)
{
    return id.device != UNTOLD_DEVICE || id.index != 0 || id.index_high != 0;
}

// A device that a host could not tell is taken for any.
bool same_device(const file_id& a, const file_id& b)
{
    return a.device == b.device || a.device == UNTOLD_DEVICE || b.device == UNTOLD_DEVICE;
}

bool same_id(const file_id& a, const file_id& b)
{
    return known(a) && known(b) && same_device(a, b) && a.index == b.index &&
           a.index_high == b.index_high;
}

bool meet(const storage_place& a, const storage_place& b)
{
    return same_id(a.id, b.id) && a.start < b.end && b.start < a.end;
}

} // namespace

bool share_storage(const file_facts& a, const file_facts& b)
{
    if (same_id(a.id, b.id))
        return true;
    for (std::size_t i = 0; i < a.under.count; ++i)
        for (std::size_t j = 0; j < b.under.count; ++j)
            if (meet(a.under.place[i], b.under.place[j]))
                return true;
    return false;
}
