// SPDX-License-Identifier: MIT
// The standard streams beside the run's files: measured before any input opens, muted once found on
// a file of the run, and a file that would not open told as the stream a shell holds it as.
#include "files.h"

void measure_streams(files& f)
{
    f.report_facts = measure_standard(standard_stream::output);
    f.error_facts = measure_standard(standard_stream::error);
    // Unsure is careful: one that cannot be told apart from the files is not written.
    f.safe = {f.report_facts.kind != file_kind::unmeasured,
              f.error_facts.kind != file_kind::unmeasured};
}

bool mute_streams_on(files& f, const file_facts& file)
{
    f.safe.error = f.safe.error && !share_storage(f.error_facts, file);
    bool output = share_storage(f.report_facts, file);
    f.safe.output = f.safe.output && !output;
    return output;
}

ended compare_with_streams(files& f)
{
    bool insert = mute_streams_on(f, f.insert_facts);
    bool source = mute_streams_on(f, f.source_facts);
    if (insert)
        return {INSERT_IS_REPORT, NO_REASON};
    if (source)
        return {SOURCE_IS_REPORT, NO_REASON};
    return {DONE, NO_REASON};
}

ended unopened(files& f, const char* path, ended failure, outcome is_report)
{
    looked seen = look_at(path);
    close_file(seen.file);
    bool error_stream = share_storage(f.error_facts, seen.facts);
    if (mute_streams_on(f, seen.facts))
        return {is_report, NO_REASON};
    return error_stream ? ended{failure.result, REASON_ERROR_OUTPUT} : failure;
}
