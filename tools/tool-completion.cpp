// contact-engine-tool's `completion bash`: a bash completion script made
// from the tool's own commands and options, so that it never falls behind
// them.  The build writes it once and `cmake --install` puts it in
// share/bash-completion/completions.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tool-families.h"

namespace tool {
namespace {

struct CompletionCommand {
    CLI::App *root = nullptr;
    std::string shell;
} command;

std::vector<CLI::App *> subcommands_of(CLI::App &app)
{
    return app.get_subcommands([](CLI::App *) { return true; });
}

std::string options_of(const CLI::App &app)
{
    std::string words;
    for (const CLI::Option *option : app.get_options()) {
        for (const std::string &name : option->get_snames())
            words += (words.empty() ? "-" : " -") + name;
        for (const std::string &name : option->get_lnames())
            words += (words.empty() ? "--" : " --") + name;
    }
    return words;
}

// The values a command's first positional argument takes, when its check
// lists them (CLI11 shows IsMember as "TEXT:{status,load,open,close,list}").
std::string choices_of(const CLI::App &app)
{
    for (const CLI::Option *option : app.get_options()) {
        if (!option->get_snames().empty() || !option->get_lnames().empty())
            continue;
        const std::string type = option->get_type_name();
        const std::size_t open = type.find('{'), close = type.find('}', open);
        if (open == std::string::npos || close == std::string::npos)
            return "";
        std::string words = type.substr(open + 1, close - open - 1);
        std::replace(words.begin(), words.end(), ',', ' ');
        return words;
    }
    return "";
}

// One line of each table per command: its path ("contact-engine-tool" for
// the tool itself, "contact-engine-tool group add" for a subcommand of
// group), then its subcommands, the values its first argument takes, or its
// options.
struct Tables {
    std::string commands, choices, options;
};

void describe(CLI::App &app, const std::string &path, Tables &tables)
{
    const auto row = [&](std::string &table, const std::string &words) {
        table += "        [\"" + path + "\"]=\"" + words + "\"\n";
    };
    std::string children;
    for (CLI::App *sub : subcommands_of(app)) {
        children += (children.empty() ? "" : " ") + sub->get_name();
        describe(*sub, path + " " + sub->get_name(), tables);
    }
    if (!children.empty())
        row(tables.commands, children);
    if (const std::string choices = choices_of(app); !choices.empty())
        row(tables.choices, choices);
    row(tables.options, options_of(app));
}

// The words typed so far choose the deepest command they name; a word
// beginning with "-" completes to that command's options and the tool's
// own, any other to its subcommands, right after the command to the values
// its first argument takes, or else to a file name.
constexpr const char *kBashFunction = R"(    local tool=contact-engine-tool
    local path=$tool next i at=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        next="$path ${COMP_WORDS[i]}"
        [[ -n ${options[$next]+set} ]] && path=$next at=$i
    done
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[$path]} ${options[$tool]}" -- "$cur")
    elif [[ -n ${commands[$path]+set} ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${commands[$path]}" -- "$cur")
    elif [[ -n ${choices[$path]+set} ]] && ((at == COMP_CWORD - 1)); then
        mapfile -t COMPREPLY < <(compgen -W "${choices[$path]}" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _contact_engine_tool contact-engine-tool
)";

int print_bash_completion()
{
    Tables tables;
    describe(*command.root, "contact-engine-tool", tables);
    std::printf("# bash completion for contact-engine-tool (made by `contact-engine-tool completion bash`)\n"
                "_contact_engine_tool()\n{\n    local -A commands=(\n%s    )\n    local -A choices=(\n%s    )\n"
                "    local -A options=(\n%s    )\n%s",
                tables.commands.c_str(), tables.choices.c_str(), tables.options.c_str(), kBashFunction);
    return 0;
}

void add_command(CLI::App &app)
{
    command.root = &app;
    auto *completion = app.add_subcommand("completion", "print a shell completion script");
    completion->add_option("shell", command.shell, "the shell: bash")->required()->check(CLI::IsMember({"bash"}));
}

} // namespace

// Needs no library session.
extern const ToolFamily kCompletionCommand{add_command, print_bash_completion, false};

} // namespace tool
