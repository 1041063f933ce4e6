// SPDX-License-Identifier: MIT
// The files of a test and what the tool must make of them: patterns,
// sparse files, DEST as a run must leave it, and the screens it prints.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"

namespace fs = std::filesystem;

std::string pattern(std::size_t size, unsigned salt)
{
    std::string bytes(size, '\0');
    std::uint32_t x = salt * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

void write_file(const std::string& path, const std::string& content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::size_t done = 0;
    while (fd >= 0 && done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    int error = errno;
    if (fd < 0 || done < content.size() || close(fd) != 0)
        ADD_FAILURE() << "cannot write " << path << ": wrote " << done << " of " << content.size()
                      << " bytes: " << std::strerror(error);
}

void write_sparse(const std::string& path, const std::string& content)
{
    constexpr std::size_t BLOCK = 4096;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(content.size())) == 0;
    for (std::size_t at = 0; sized && at < content.size(); at += BLOCK) {
        std::string block = content.substr(at, BLOCK);
        if (block.find_first_not_of('\0') != std::string::npos)
            sized = pwrite(fd, block.data(), block.size(), static_cast<off_t>(at)) ==
                    static_cast<ssize_t>(block.size());
    }
    int error = errno;
    if (fd < 0 || !sized || close(fd) != 0)
        ADD_FAILURE() << "cannot write " << path << " with holes: " << std::strerror(error);
}

std::string read_file(const std::string& path)
{
    // In blocks: byte by byte, an unoptimised build takes a second for a few MiB.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string expected_output(const std::string& source, const std::string& insert)
{
    std::string out = source;
    std::size_t n = std::min({insert.size(), std::size_t{32768}, source.size()});
    out.replace(0, n, insert, 0, n);
    return out;
}

std::string unsealed_output(const std::string& source, const std::string& insert)
{
    return expected_output(source, std::string(insert.size(), '\0'));
}

std::string usage_screen()
{
    std::string stars(77, '*');
    std::string hashes(77, '#');
    return "\n\n" + stars + "\n" +
           "TALVOR.EXE L'insertion de .bin par l'equipe talvor\n"
           "\n"
           "Utilisation: TALVOR <source> <destination>\n" +
           stars + "\n\n\n" + hashes + "\n" +
           "La <source> et IP.BIN doivent etre dans le meme repertoire.\n"
           "Ce programme ecrit dans les 32768 premiers octets, de la <source>,\n"
           "le contenu de IP.BIN.\n"
           "Cela cree un fichier qui est la <destination>.\n" +
           hashes + "\n\nBon travail et a bientot\n\n";
}

std::string same_file_refusal(const std::string& name, const std::string& destination,
                              const std::string& input)
{
    return name + ": " + destination + " et " + input + " sont le meme fichier\n";
}

std::string success_report(const std::string& name)
{
    return "\n" + name +
           ": fini!!!\n\nIP.BIN insere avec succes!!!! Felicitation.\n\n"
           "Programme ecrit par l'equipe talvor.\n"
           "Bon travail et a bientot!!!!!!!\n\n";
}
