// SPDX-License-Identifier: MIT
#include "messages.h"

#include <cstdlib>
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

} // namespace

void cannot_open(const char* name, const char* path, int status, int error)
{
    close_progress_line();
    print_text("%s: Je ne peux pas ouvrir %s\n", name, path);
    tell_reason(name, path, error, status != STATUS_NO_DESTINATION);
    std::exit(status);
}

void same_file_refused(const char* name, const char* destination_path, const char* input_path)
{
    close_progress_line();
    print_text("%s: %s et %s sont le meme fichier\n", name, destination_path, input_path);
    std::exit(STATUS_NO_DESTINATION);
}

void same_as_report(const char* name, const char* path, int status)
{
    close_progress_line();
    print_text("%s: %s et la sortie standard sont le meme fichier\n", name, path);
    std::exit(status);
}

void cannot_read(const char* name, const char* path, int error)
{
    close_progress_line();
    print_text("%s: Je ne peux pas lire %s\n", name, path);
    tell_reason(name, path, error, true);
    std::exit(STATUS_READ_FAILED);
}

void cannot_write(const char* name, const char* path, int error)
{
    close_progress_line();
    print_text("%s: Je ne peux pas ecrire %s\n", name, path);
    tell_reason(name, path, error, false);
    std::exit(STATUS_WRITE_FAILED);
}

void device_too_small(const char* name, const char* destination_path, const char* source_path)
{
    close_progress_line();
    print_text("%s: Je ne peux pas ecrire %s\n", name, destination_path);
    print_error_text("%s: %s: peripherique trop petit pour %s\n", name, destination_path,
                     source_path);
    std::exit(STATUS_WRITE_FAILED);
}

void no_buffer(const char* name)
{
    close_progress_line();
    print_text("%s: Je ne trouve pas le buffer de travail\n", name);
    std::exit(STATUS_NO_BUFFER);
}

void report_success(const char* name)
{
    close_progress_line();
    print_text("\n");
    print_text("%s: fini!!!\n\n%s insere avec succes!!!! Felicitation.", name, INSERT_FILE_NAME);
    print_text("\n");
    print_text("\n");
    print_text("%s\n", CREDIT_LINE);
    print_text("%s!!!!!!!\n", SIGN_OFF);
    print_text("\n");
    std::exit(STATUS_OK);
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
