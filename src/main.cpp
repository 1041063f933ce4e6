#include <cstdio>
#include <cstring>

#include "insertion.h"
#include "talvor.h"

static void print_rule(char mark)
{
    char line[RULE_WIDTH + 2];
    std::memset(line, mark, RULE_WIDTH);
    line[RULE_WIDTH] = '\n';
    line[RULE_WIDTH + 1] = '\0';
    std::printf("%s", line);
}

static void print_usage()
{
    std::printf("\n");
    std::printf("\n");
    print_rule('*');
    std::printf("TALVOR.EXE L'insertion de .bin %s\n", AUTHOR_CREDIT);
    std::printf("\n");
    std::printf("Utilisation: TALVOR <source> <destination>\n");
    print_rule('*');
    std::printf("\n");
    std::printf("\n");
    print_rule('#');
    std::printf("La <source> et IP.BIN doivent etre dans le meme repertoire.\n"
                "Ce programme ecrit dans les %d premiers octets, de la <source>,\n"
                "le contenu de %s.\n"
                "Cela cree un fichier qui est la <destination>.\n",
                static_cast<int>(INSERT_LENGTH), INSERT_FILE_NAME);
    print_rule('#');
    std::printf("\n");
    std::printf("%s\n", SIGN_OFF);
    std::printf("\n");
}

// Only the count decides: two arguments are always two paths, whatever they look like.
int main(int argc, char* argv[])
{
    if (argc == 3)
        run_insertion(argv[0], argv[1], argv[2]);
    print_usage();
    return STATUS_USAGE;
}
