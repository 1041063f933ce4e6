// SPDX-License-Identifier: MIT
#include "messages.h"

#include <cstdlib>

#include "host.h"
#include "talvor.h"

void cannot_open(const char* name, const char* path, int status)
{
    close_progress_line();
    print_text("%s: Je ne peux pas ouvrir %s\n", name, path);
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

void cannot_read(const char* name, const char* path)
{
    close_progress_line();
    print_text("%s: Je ne peux pas lire %s\n", name, path);
    std::exit(STATUS_READ_FAILED);
}

void cannot_write(const char* name, const char* path)
{
    close_progress_line();
    print_text("%s: Je ne peux pas ecrire %s\n", name, path);
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
