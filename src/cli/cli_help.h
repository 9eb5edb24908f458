// The one layout of every help text the programs print: `fwu --help`, each
// command's --help (and `help COMMAND`), fwu-cli.exe's. Paragraphs and
// two-column tables (a name, and what it does) wrapped to the width of the
// terminal on standard output, 80 columns when it is none; a table's second
// column starts at the same place on every row of a page, and its words
// wrap within it.
//
// Conventions: those of the command line (cli.h).
#ifndef FWU_CLI_CLI_HELP_H
#define FWU_CLI_CLI_HELP_H

#include <string>
#include <vector>

namespace CLI {
class App;
}

enum {
    CLI_HELP_WIDTH = 80,      // when standard output is no terminal
    CLI_HELP_WIDTH_MIN = 40,  // narrower terminals get this much
    CLI_HELP_WIDTH_MAX = 100  // wider ones this much: long lines read badly
};

// One row of a table: what is on the left ("--image FILE", "q") and its
// words (any line breaks in them are spaces).
struct CliHelpRow {
    std::string left;
    std::string right;
};

// The width to wrap help to.
int cli_help_width(void);

// text as paragraphs (separated by an empty line; the line breaks inside
// one are spaces), each wrapped to width, with an empty line between them.
// A word longer than a line is broken where the line ends.
std::string cli_help_paragraphs(const std::string &text, int width);

// Where the second column starts for rows at width: two spaces, the
// longest left, two spaces; at most two fifths of the width (a longer left
// then has a line of its own).
int cli_help_column(const std::vector<CliHelpRow> &rows, int width);

// The rows as a table, the second column at column.
std::string cli_help_table(const std::vector<CliHelpRow> &rows, int column, int width);

// Where an install puts the docs (FWU_DOC_DIR), "" for a build that
// installs none (Windows).
const char *cli_doc_dir(void);

// The image options' rows, as update's help shows them ("--image FILE" and
// its words), for the help of `fwu` without a command.
std::vector<CliHelpRow> cli_image_option_rows(void);

// Makes app and the commands added to it after this print their help in
// this layout.
void cli_use_help_layout(CLI::App *app);

// The help page of app (a command, or the program) as its --help prints it.
std::string cli_command_help(const CLI::App *app);

#endif
