// SPDX-License-Identifier: MIT
// The names, texts, outcomes and exit statuses that users and callers see.
#ifndef TALVOR_H
#define TALVOR_H

#include <cstddef>

// Looked for by this bare name, so always in the current directory.
constexpr const char* INSERT_FILE_NAME = "IP.BIN";
// Most leading bytes that the insert file may replace.
constexpr std::size_t INSERT_LENGTH = 32768;

// Width of the rules that frame the usage screen, line end excluded.
constexpr std::size_t RULE_WIDTH = 77;

constexpr const char* AUTHOR_CREDIT = "par l'equipe talvor";
constexpr const char* CREDIT_LINE = "Programme ecrit par l'equipe talvor.";
// Ends both screens: bare on the usage screen, with seven '!' in the report.
constexpr const char* SIGN_OFF = "Bon travail et a bientot";

// How a step of the run ended, and so which message names which file.
enum outcome {
    DONE,
    SOURCE_UNREADABLE,
    INSERT_UNREADABLE,
    DESTINATION_UNWRITABLE,
    DESTINATION_IS_SOURCE, // DEST shares storage with SOURCE, or reads as it
    DESTINATION_IS_INSERT, // ...or with IP.BIN
    INSERT_UNOPENED,
    SOURCE_UNOPENED,
    DESTINATION_UNOPENED,
    INSERT_IS_REPORT, // standard output writes into IP.BIN,
    SOURCE_IS_REPORT, // ...into SOURCE,
    DESTINATION_IS_REPORT, // ...or into DEST
    NO_MEMORY,
};

constexpr int STATUS_OK = 0;
constexpr int STATUS_USAGE = -1;
constexpr int STATUS_NO_INSERT_FILE = -2;
constexpr int STATUS_NO_SOURCE = -3;
constexpr int STATUS_NO_DESTINATION = -4;
constexpr int STATUS_NO_BUFFER = -5;
constexpr int STATUS_READ_FAILED = -6;
constexpr int STATUS_WRITE_FAILED = -7;

#endif
