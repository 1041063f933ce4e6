// SPDX-License-Identifier: MIT
#include "messages.h"

#include <cstring>
#include <string>

#include "host.h"
#include "talvor.h"

namespace {

// The first directory on the way to path that is missing; "" when the
// file alone is.
std::string missing_directory(const std::string& path)
{
    std::string missing;
    for (std::size_t end = path.find_last_of(DIRECTORY_ENDS); end != std::string::npos && end > 0;
         end = path.find_last_of(DIRECTORY_ENDS, end - 1)) {
        std::string directory = path.substr(0, end);
        if (path_found(directory.c_str()))
            break;
        missing = directory;
    }
    return missing;
}

// Not found, said where it helps: which directory was searched for IP.BIN,
// and a file there whose name differs by case alone; or which directory of
// the path is missing.
std::string absence(const char* path)
{
    std::string directory = missing_directory(path);
    if (!directory.empty())
        return "repertoire " + directory + " absent";
    std::string here = working_directory();
    if (std::strcmp(path, INSERT_FILE_NAME) != 0 || here.empty())
        return "absent";
    std::string twin = name_by_other_case(INSERT_FILE_NAME);
    return "absent du repertoire " + here + (twin.empty() ? "" : " (il y a " + twin + ")");
}

// Why path failed, in the tool's words where it has them.
std::string phrase(int error, const run_names& names, const char* path)
{
    if (not_found(error))
        return absence(path);
    switch (error) {
    case REASON_DEVICE_BUSY:
        return "peripherique monte ou occupe";
    case REASON_DIRECTORY:
        return "est un repertoire";
    case REASON_NO_DEVICE:
        return "aucun peripherique de ce nom";
    case REASON_DEVICE_TOO_SMALL:
        return std::string("peripherique trop petit pour ") + names.source;
    default:
        // The names are the very arguments: only DEST's is no input's.
        return reason_text(error, path != names.destination);
    }
}

// "Je ne peux pas VERB PATH", then the reason on standard error, once
// standard output holds the message.
int cannot(const run_names& names, const char* verb, const char* path, int status, int error)
{
    print_text("%s: Je ne peux pas %s %s\n", names.invocation, verb, path);
    if (error != NO_REASON)
        print_error_text("%s: %s: %s\n", names.invocation, path,
                         phrase(error, names, path).c_str());
    return status;
}

int same_file_refused(const run_names& names, const char* input_path)
{
    print_text("%s: %s et %s sont le meme fichier\n", names.invocation, names.destination,
               input_path);
    return STATUS_NO_DESTINATION;
}

int same_as_report(const run_names& names, const char* path, int status)
{
    print_text("%s: %s et la sortie standard sont le meme fichier\n", names.invocation, path);
    return status;
}

int no_buffer(const run_names& names)
{
    print_text("%s: Je ne trouve pas le buffer de travail\n", names.invocation);
    return STATUS_NO_BUFFER;
}

int report_success(const run_names& names)
{
    print_text("\n");
    print_text("%s: fini!!!\n\n%s insere avec succes!!!! Felicitation.", names.invocation,
               INSERT_FILE_NAME);
    print_text("\n");
    print_text("\n");
    print_text("%s\n", CREDIT_LINE);
    print_text("%s!!!!!!!\n", SIGN_OFF);
    print_text("\n");
    return STATUS_OK;
}

} // namespace

int tell_outcome(const run_names& names, outcome result, int error)
{
    switch (result) {
    case DONE:
        return report_success(names);
    case INSERT_UNOPENED:
        return cannot(names, "ouvrir", INSERT_FILE_NAME, STATUS_NO_INSERT_FILE, error);
    case SOURCE_UNOPENED:
        return cannot(names, "ouvrir", names.source, STATUS_NO_SOURCE, error);
    case DESTINATION_UNOPENED:
        return cannot(names, "ouvrir", names.destination, STATUS_NO_DESTINATION, error);
    case INSERT_IS_REPORT:
        return same_as_report(names, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE);
    case SOURCE_IS_REPORT:
        return same_as_report(names, names.source, STATUS_NO_SOURCE);
    case DESTINATION_IS_REPORT:
        return same_as_report(names, names.destination, STATUS_NO_DESTINATION);
    case DESTINATION_IS_SOURCE:
        return same_file_refused(names, names.source);
    case DESTINATION_IS_INSERT:
        return same_file_refused(names, INSERT_FILE_NAME);
    case INSERT_UNREADABLE:
        return cannot(names, "lire", INSERT_FILE_NAME, STATUS_READ_FAILED, error);
    case SOURCE_UNREADABLE:
        return cannot(names, "lire", names.source, STATUS_READ_FAILED, error);
    case DEVICE_TOO_SMALL:
        error = REASON_DEVICE_TOO_SMALL;
        break;
    case NO_MEMORY:
        return no_buffer(names);
    case DESTINATION_UNWRITABLE:
        break;
    }
    return cannot(names, "ecrire", names.destination, STATUS_WRITE_FAILED, error);
}

void warn_empty_insert(const char* name)
{
    print_error_text("%s: attention: %s est vide, rien n'est insere\n", name, INSERT_FILE_NAME);
}

void warn_long_insert(const char* name, std::int64_t length)
{
    print_error_text("%s: attention: %s fait %lld octets, seuls les %d premiers sont inseres\n",
                     name, INSERT_FILE_NAME, static_cast<long long>(length),
                     static_cast<int>(INSERT_LENGTH));
}

void warn_short_source(const char* name, const char* source_path, std::int64_t inserted)
{
    print_error_text("%s: attention: %s est plus court que %s, seuls %lld octets sont inseres\n",
                     name, source_path, INSERT_FILE_NAME, static_cast<long long>(inserted));
}
