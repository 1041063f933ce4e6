// SPDX-License-Identifier: MIT
#include <string>
#if defined(_WIN32)
#include <vector>
#endif

#include "host.h"
#include "messages.h"
#include "run.h"
#include "talvor.h"

// No file is open yet that a text could land in.
constexpr safe_streams ANY_STREAM = {};

static void print_usage()
{
    const std::string stars(RULE_WIDTH, '*');
    const std::string hashes(RULE_WIDTH, '#');
    print_text(ANY_STREAM,
               "\n\n%s\nTALVOR.EXE L'insertion de .bin %s\n\n"
               "Utilisation: TALVOR <source> <destination>\n%s\n\n\n%s\n"
               "La <source> et IP.BIN doivent etre dans le meme repertoire.\n"
               "Ce programme ecrit dans les %d premiers octets, de la <source>,\n"
               "le contenu de %s.\n"
               "Cela cree un fichier qui est la <destination>.\n"
               "%s\n\n%s\n\n",
               stars.c_str(), AUTHOR_CREDIT, stars.c_str(), hashes.c_str(),
               static_cast<int>(INSERT_LENGTH), INSERT_FILE_NAME, hashes.c_str(), SIGN_OFF);
    // Standard output keeps the screen as it always was; the version goes beside it.
    print_error_text(ANY_STREAM, "talvor %s\n", TALVOR_VERSION);
}

// Only the count decides: two arguments are always two paths, whatever they look like.
static int dispatch(int argc, char* argv[])
{
    if (argc == 3)
        run_insertion(argv[0], argv[1], argv[2]);
    print_usage();
    return STATUS_USAGE;
}

#if defined(_WIN32)
// Windows hands over UTF-16, in which any name can be spelled; the tool works in UTF-8.
int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8_argument(argv[i]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    return dispatch(argc, pointers.data());
}
#else
int main(int argc, char* argv[])
{
    return dispatch(argc, argv);
}
#endif
