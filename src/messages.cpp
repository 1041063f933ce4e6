// SPDX-License-Identifier: MIT
#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"
#include "talvor.h"

namespace {

// A text meant for one stream goes to the other when its own is not safe.
void say(const safe_streams& safe, standard_stream meant, const char* format, va_list args)
{
    bool output = meant == standard_stream::output;
    bool own = output ? safe.output : safe.error;
    if (!safe.output && !safe.error)
        return;
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    standard_stream other = output ? standard_stream::error : standard_stream::output;
    write_standard(own ? meant : other, text);
}

// The first directory on the way to path that is missing; "" when the file alone is.
std::string missing_directory(const std::string& path)
{
    std::size_t root = 0;
    bool two_ends = path.size() > 2 && std::strchr(DIRECTORY_ENDS, path[0]) != nullptr &&
                    std::strchr(DIRECTORY_ENDS, path[1]) != nullptr;
    if (ROOTS_AFTER_TWO_ENDS && two_ends) {
        // \\.\ and \\?\ name devices and objects whose elements are no directories.
        if (path[2] == '.' || path[2] == '?')
            return "";
        std::size_t server_end = path.find_first_of(DIRECTORY_ENDS, 2);
        root = server_end == std::string::npos ? server_end
                                               : path.find_first_of(DIRECTORY_ENDS, server_end + 1);
    }
    std::string missing;
    for (std::size_t end = path.find_last_of(DIRECTORY_ENDS);
         end != std::string::npos && end > 0 && end > root;
         end = path.find_last_of(DIRECTORY_ENDS, end - 1)) {
        std::string directory = path.substr(0, end);
        if (path_found(directory.c_str()))
            break;
        missing = directory;
    }
    return missing;
}

// Not found, said where it helps: the missing directory, or IP.BIN's directory and case twin.
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
    case REASON_ERROR_OUTPUT:
        return "est la sortie d'erreur";
    default:
        return reason_text(error);
    }
}

// What could not be done to path ("ouvrir", "lire", "ecrire"), then why on standard error.
int cannot(const speaker& s, const char* verb, const char* path, int status, int error)
{
    print_text(s.safe, "%s: Je ne peux pas %s %s\n", s.names.invocation, verb, path);
    if (error != NO_REASON)
        print_error_text(s.safe, "%s: %s: %s\n", s.names.invocation, path,
                         phrase(error, s.names, path).c_str());
    return status;
}

// The reason says how: on the same storage, or read as the input where storage was not followed.
int same_file_refused(const speaker& s, const char* input_path, int error)
{
    print_text(s.safe, "%s: %s et %s sont le meme fichier\n", s.names.invocation,
               s.names.destination, input_path);
    const char* how =
        error == REASON_NOT_TOLD_APART ? "ne peut etre distingue de" : "partage son stockage avec";
    print_error_text(s.safe, "%s: %s: %s %s\n", s.names.invocation, s.names.destination, how,
                     input_path);
    return STATUS_NO_DESTINATION;
}

int same_as_report(const speaker& s, const char* path, int status)
{
    print_text(s.safe, "%s: %s et la sortie standard sont le meme fichier\n", s.names.invocation,
               path);
    return status;
}

} // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_text(const safe_streams& safe, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    say(safe, standard_stream::output, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_error_text(const safe_streams& safe, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    say(safe, standard_stream::error, format, args);
    va_end(args);
}

int tell_outcome(const speaker& s, outcome result, int error)
{
    const run_names& n = s.names;
    switch (result) {
    case DONE:
        print_text(s.safe,
                   "\n%s: fini!!!\n\n%s insere avec succes!!!! Felicitation.\n\n%s\n%s!!!!!!!\n\n",
                   n.invocation, INSERT_FILE_NAME, CREDIT_LINE, SIGN_OFF);
        return STATUS_OK;
    case INSERT_UNOPENED:
        return cannot(s, "ouvrir", INSERT_FILE_NAME, STATUS_NO_INSERT_FILE, error);
    case SOURCE_UNOPENED:
        return cannot(s, "ouvrir", n.source, STATUS_NO_SOURCE, error);
    case DESTINATION_UNOPENED:
        return cannot(s, "ouvrir", n.destination, STATUS_NO_DESTINATION, error);
    case INSERT_IS_REPORT:
        return same_as_report(s, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE);
    case SOURCE_IS_REPORT:
        return same_as_report(s, n.source, STATUS_NO_SOURCE);
    case DESTINATION_IS_REPORT:
        return same_as_report(s, n.destination, STATUS_NO_DESTINATION);
    case DESTINATION_IS_SOURCE:
        return same_file_refused(s, n.source, error);
    case DESTINATION_IS_INSERT:
        return same_file_refused(s, INSERT_FILE_NAME, error);
    case INSERT_UNREADABLE:
        return cannot(s, "lire", INSERT_FILE_NAME, STATUS_READ_FAILED, error);
    case SOURCE_UNREADABLE:
        return cannot(s, "lire", n.source, STATUS_READ_FAILED, error);
    case NO_MEMORY:
        print_text(s.safe, "%s: Je ne trouve pas le buffer de travail\n", n.invocation);
        return STATUS_NO_BUFFER;
    case DESTINATION_UNWRITABLE:
        break;
    }
    return cannot(s, "ecrire", n.destination, STATUS_WRITE_FAILED, error);
}

void warn_of_mistakes(const speaker& s, std::size_t head, std::int64_t insert, std::int64_t reached)
{
    const char* tool = s.names.invocation;
    if (head == 0)
        print_error_text(s.safe, "%s: attention: %s est vide, rien n'est insere\n", tool,
                         INSERT_FILE_NAME);
    if (insert > static_cast<std::int64_t>(INSERT_LENGTH))
        print_error_text(s.safe,
                         "%s: attention: %s fait %lld octets, seuls les %d premiers sont inseres\n",
                         tool, INSERT_FILE_NAME, static_cast<long long>(insert),
                         static_cast<int>(INSERT_LENGTH));
    if (reached < static_cast<std::int64_t>(head))
        print_error_text(s.safe,
                         "%s: attention: %s est plus court que %s, "
                         "seuls %lld octets sont inseres\n",
                         tool, s.names.source, INSERT_FILE_NAME, static_cast<long long>(reached));
}
