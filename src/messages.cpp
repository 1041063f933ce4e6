// SPDX-License-Identifier: MIT
#include "messages.h"

#include <string>

#include "host.h"
#include "talvor.h"

namespace {

std::string phrase(int error, bool input)
{
    if (error == REASON_DEVICE_BUSY)
        return "peripherique monte ou occupe";
    if (error == REASON_DIRECTORY)
        return "est un repertoire";
    return reason_text(error, input);
}

// The reason line, on standard error once standard output holds the message.
void tell_reason(const char* name, const char* path, int error, bool input)
{
    if (error == NO_REASON)
        return;
    print_error_text("%s: %s: %s\n", name, path, phrase(error, input).c_str());
}

int cannot_open(const run_names& names, const char* path, int status, int error)
{
    print_text("%s: Je ne peux pas ouvrir %s\n", names.invocation, path);
    tell_reason(names.invocation, path, error, status != STATUS_NO_DESTINATION);
    return status;
}

// The reason says how: found on the same storage, or read as the input
// where its storage could not be followed.
int same_file_refused(const run_names& names, const char* input_path, int error)
{
    print_text("%s: %s et %s sont le meme fichier\n", names.invocation, names.destination,
               input_path);
    const char* how =
        error == REASON_NOT_TOLD_APART ? "ne peut etre distingue de" : "partage son stockage avec";
    print_error_text("%s: %s: %s %s\n", names.invocation, names.destination, how, input_path);
    return STATUS_NO_DESTINATION;
}

int same_as_report(const run_names& names, const char* path, int status)
{
    print_text("%s: %s et la sortie standard sont le meme fichier\n", names.invocation, path);
    return status;
}

int cannot_read(const run_names& names, const char* path, int error)
{
    print_text("%s: Je ne peux pas lire %s\n", names.invocation, path);
    tell_reason(names.invocation, path, error, true);
    return STATUS_READ_FAILED;
}

int cannot_write(const run_names& names, int error)
{
    print_text("%s: Je ne peux pas ecrire %s\n", names.invocation, names.destination);
    tell_reason(names.invocation, names.destination, error, false);
    return STATUS_WRITE_FAILED;
}

int device_too_small(const run_names& names)
{
    print_text("%s: Je ne peux pas ecrire %s\n", names.invocation, names.destination);
    print_error_text("%s: %s: peripherique trop petit pour %s\n", names.invocation,
                     names.destination, names.source);
    return STATUS_WRITE_FAILED;
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
        return cannot_open(names, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE, error);
    case SOURCE_UNOPENED:
        return cannot_open(names, names.source, STATUS_NO_SOURCE, error);
    case DESTINATION_UNOPENED:
        return cannot_open(names, names.destination, STATUS_NO_DESTINATION, error);
    case INSERT_IS_REPORT:
        return same_as_report(names, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE);
    case SOURCE_IS_REPORT:
        return same_as_report(names, names.source, STATUS_NO_SOURCE);
    case DESTINATION_IS_REPORT:
        return same_as_report(names, names.destination, STATUS_NO_DESTINATION);
    case DESTINATION_IS_SOURCE:
        return same_file_refused(names, names.source, error);
    case DESTINATION_IS_INSERT:
        return same_file_refused(names, INSERT_FILE_NAME, error);
    case INSERT_UNREADABLE:
        return cannot_read(names, INSERT_FILE_NAME, error);
    case SOURCE_UNREADABLE:
        return cannot_read(names, names.source, error);
    case DEVICE_TOO_SMALL:
        return device_too_small(names);
    case NO_MEMORY:
        return no_buffer(names);
    case DESTINATION_UNWRITABLE:
        break;
    }
    return cannot_write(names, error);
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
