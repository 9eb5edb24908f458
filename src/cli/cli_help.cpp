// The help's one layout (cli_help.h): words wrapped to a width, tables of
// two columns, and a command's page drawn from what CLI11 was told of it
// (its description, usage, arguments, options, commands and footer).
#include "cli/cli_help.h"

#include <memory>

#include <CLI/CLI.hpp>

#include "cli/cli_platform.h"
#include "fwu_install_dirs.h"

namespace {

std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

// text's words in lines of at most room characters.
std::vector<std::string> wrap_lines(const std::string &text, size_t room)
{
    if (room < 1)
        room = 1;
    std::vector<std::string> lines;
    std::string line;
    for (std::string word : words_of(text)) {
        while (word.size() > room) {  // longer than a line: broken where the line ends
            if (!line.empty())
                lines.push_back(line);
            line.clear();
            lines.push_back(word.substr(0, room));
            word.erase(0, room);
        }
        if (word.empty())
            continue;
        if (line.empty()) {
            line = word;
        } else if (line.size() + 1 + word.size() <= room) {
            line += " " + word;
        } else {
            lines.push_back(line);
            line = word;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// text wrapped to width, its lines after the first indented by indent.
std::string hanging(const std::string &text, int indent, int width)
{
    std::vector<std::string> first = wrap_lines(text, (size_t)width);
    if (first.empty())
        return "";
    std::string out = first[0] + "\n";
    std::string rest;
    for (size_t i = 1; i < first.size(); ++i)
        rest += first[i] + " ";
    for (const std::string &line : wrap_lines(rest, (size_t)(width - indent)))
        out += std::string((size_t)indent, ' ') + line + "\n";
    return out;
}

std::string command_path(const CLI::App *app)
{
    std::string path = app->get_name();
    for (const CLI::App *up = app->get_parent(); up != nullptr; up = up->get_parent())
        path = up->get_name() + " " + path;
    return path;
}

// "-q, --quiet", "--image FILE", "PORT...": the names as they are typed and
// the value's name, never the parser's type words.
std::string option_left(const CLI::Option *option)
{
    if (option->get_positional())
        return option->get_name(true) + (option->get_items_expected_max() > 1 ? "..." : "");
    std::string names;
    for (const std::string &name : option->get_snames())
        names += (names.empty() ? "-" : ", -") + name;
    for (const std::string &name : option->get_lnames())
        names += (names.empty() ? "--" : ", --") + name;
    if (option->get_items_expected_max() != 0)  // not a flag
        names += " " + option->get_type_name();
    return names;
}

std::string usage_line(const CLI::App *app)
{
    std::string usage = "Usage: " + command_path(app);
    if (!app->get_options([](const CLI::Option *o) { return !o->get_positional(); }).empty())
        usage += " [OPTIONS]";
    for (const CLI::Option *o : app->get_options([](const CLI::Option *o) { return o->get_positional(); }))
        usage += o->get_required() ? " " + option_left(o) : " [" + option_left(o) + "]";
    if (!app->get_subcommands([](const CLI::App *) { return true; }).empty())
        usage += app->get_require_subcommand_min() > 0 ? " COMMAND" : " [COMMAND]";
    return usage;
}

struct HelpSection {
    const char *title;
    std::vector<CliHelpRow> rows;
};

std::vector<HelpSection> sections_of(const CLI::App *app)
{
    std::vector<HelpSection> sections = {{"Arguments:", {}}, {"Options:", {}}, {"Commands:", {}}};
    for (const CLI::Option *o : app->get_options()) {
        if (o->get_group().empty())
            continue;  // hidden
        sections[o->get_positional() ? 0 : 1].rows.push_back({option_left(o), o->get_description()});
    }
    for (const CLI::App *sub : app->get_subcommands([](const CLI::App *) { return true; }))
        sections[2].rows.push_back({sub->get_name(), sub->get_description()});
    return sections;
}

// A command's help page at width.
std::string app_help(const CLI::App *app, int width)
{
    std::vector<HelpSection> sections = sections_of(app);
    std::vector<CliHelpRow> every_row;
    for (const HelpSection &section : sections)
        every_row.insert(every_row.end(), section.rows.begin(), section.rows.end());
    int column = cli_help_column(every_row, width);

    std::string out = cli_help_paragraphs(app->get_description(), width);
    out += (out.empty() ? "" : "\n") + hanging(usage_line(app), 7, width);
    for (const HelpSection &section : sections)
        if (!section.rows.empty())
            out += std::string("\n") + section.title + "\n" +
                   cli_help_table(section.rows, column, width);
    std::string footer = cli_help_paragraphs(app->get_footer(), width);
    if (!footer.empty())
        out += "\n" + footer;
    return out;
}

// What CLI11 asks to print help: our layout, at the width of the moment.
class CliHelpLayout : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override
    {
        return app_help(app, cli_help_width());
    }
};

}  // namespace

int cli_help_width(void)
{
    int columns = cli_stdout_columns();
    if (columns <= 0)
        return CLI_HELP_WIDTH;
    if (columns < CLI_HELP_WIDTH_MIN)
        return CLI_HELP_WIDTH_MIN;
    return columns > CLI_HELP_WIDTH_MAX ? CLI_HELP_WIDTH_MAX : columns;
}

std::string cli_help_paragraphs(const std::string &text, int width)
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\n\n", at);
        if (end == std::string::npos)
            end = text.size();
        std::vector<std::string> lines = wrap_lines(text.substr(at, end - at), (size_t)width);
        at = end;
        while (at < text.size() && text[at] == '\n')
            ++at;
        if (lines.empty())
            continue;
        if (!out.empty())
            out += "\n";
        for (const std::string &line : lines)
            out += line + "\n";
    }
    return out;
}

int cli_help_column(const std::vector<CliHelpRow> &rows, int width)
{
    size_t longest = 0;
    for (const CliHelpRow &row : rows)
        longest = row.left.size() > longest ? row.left.size() : longest;
    int column = 2 + (int)longest + 2;
    int most = width * 2 / 5;
    return column < most ? column : most;
}

std::string cli_help_table(const std::vector<CliHelpRow> &rows, int column, int width)
{
    std::string out;
    std::string indent((size_t)column, ' ');
    for (const CliHelpRow &row : rows) {
        std::string head = "  " + row.left;
        if ((int)head.size() + 2 > column) {  // a line of its own
            out += "  " + hanging(row.left, 2, width - 2);
            head.clear();
        }
        head.resize((size_t)column, ' ');
        std::vector<std::string> lines = wrap_lines(row.right, (size_t)(width - column));
        for (size_t i = 0; i < lines.size(); ++i)
            out += (i == 0 ? head : indent) + lines[i] + "\n";
        if (lines.empty() && head.find_first_not_of(' ') != std::string::npos)
            out += "  " + row.left + "\n";
    }
    return out;
}

const char *cli_doc_dir(void)
{
    return FWU_DOC_DIR;
}

void cli_use_help_layout(CLI::App *app)
{
    app->formatter(std::make_shared<CliHelpLayout>());
}

std::string cli_command_help(const CLI::App *app)
{
    return app_help(app, cli_help_width());
}
