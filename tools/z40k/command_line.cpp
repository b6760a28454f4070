#include "tools/z40k/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace z40k {
namespace {

std::string DecimalText(double Value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", Value);
    return text;
}

// The names a user may type for App's options, hidden ones aside.
std::vector<std::string> OptionNames(const CLI::App& App) {
    std::vector<std::string> names;
    for (const CLI::Option* option : App.get_options()) {
        if (option->get_group().empty() || option->get_positional())
            continue;
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
        for (const std::string& name : option->get_snames())
            names.push_back("-" + name);
    }
    return names;
}

std::vector<std::string> SubcommandNames(const CLI::App& App) {
    std::vector<std::string> names;
    for (const CLI::App* sub : App.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

// The command the user's words went to: the subcommand chosen, else the program itself.
const CLI::App& ChosenCommand(const CLI::App& App) {
    const std::vector<const CLI::App*> chosen =
        App.get_subcommands([](const CLI::App* Sub) { return Sub->parsed(); });
    return chosen.empty() ? App : *chosen.front();
}

std::string CommandName(const CLI::App& Command) {
    return Command.get_parent() == nullptr ? std::string("z40k") : "z40k " + Command.get_name();
}

// A word CLI11 left over, in the command it was given to.
ProgramError LeftOverWord(const CLI::App& App, const CLI::App& Command, std::string Word) {
    if (!Word.empty() && Word[0] == '-') {
        Word = Word.substr(0, Word.find('='));
        const std::string near = Suggestion(Word, OptionNames(Command));
        if (!near.empty() || &Command != &App)
            return UsageError(Word, "unknown option of " + CommandName(Command) + near);
        return UsageError(Word,
                          "unknown option; z40k takes a subcommand first: " + ListText(SubcommandNames(App)));
    }
    if (&Command == &App) {
        const std::string near = Suggestion(Word, SubcommandNames(App));
        return UsageError(
            Word,
            "unknown subcommand" +
                (near.empty() ? "; the subcommands are " + ListText(SubcommandNames(App), "and") : near));
    }
    return UsageError(Word, "unexpected argument of " + CommandName(Command) +
                                (Command.get_name() == "convert" ? " (it takes INPUT OUTPUT and options)"
                                                                 : " (it takes options only)"));
}

// The first word left over anywhere, as a usage error; false when every word was taken.
bool FirstLeftOver(const CLI::App& App, ProgramError* Error) {
    std::vector<std::string> words = App.remaining(false);
    if (!words.empty()) {
        *Error = LeftOverWord(App, App, words.front());
        return true;
    }
    for (const CLI::App* sub : App.get_subcommands([](const CLI::App* Sub) { return Sub->parsed(); })) {
        words = sub->remaining(false);
        if (!words.empty()) {
            *Error = LeftOverWord(App, *sub, words.front());
            return true;
        }
    }
    return false;
}

// An option that came too often or without its value; CLI11 names it first in its text.
ProgramError MismatchedOption(const CLI::App& App, const std::string& Text) {
    const std::string name = Text.substr(0, Text.find(':'));
    const CLI::Option* option = ChosenCommand(App).get_option_no_throw(name);
    if (option != nullptr && option->count() > 1)
        return UsageError(name, "given " + std::to_string(option->count()) + " times; give it once");
    return UsageError(name, "needs a value");
}

ProgramError Translate(const CLI::App& App, const CLI::ParseError& Error) {
    ProgramError error;
    if (FirstLeftOver(App, &error))
        return error;
    const std::string text = Error.what();
    const CLI::App& command = ChosenCommand(App);
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&Error) != nullptr)
        return MismatchedOption(App, text);
    if (dynamic_cast<const CLI::RequiredError*>(&Error) != nullptr) {
        if (&command == &App)
            return UsageError("no subcommand", "give one of " + ListText(SubcommandNames(App)));
        const size_t end = text.find(" is required");
        return UsageError(command.get_name(), text.substr(0, end) + " is missing");
    }
    // The program's own checks name the option and the value: "--frames: abc is not a whole number ...".
    const size_t colon = text.find(": ");
    if (dynamic_cast<const CLI::ValidationError*>(&Error) != nullptr && colon != std::string::npos)
        return UsageError(text.substr(0, colon), text.substr(colon + 2));
    return UsageError(&command == &App ? std::string("z40k") : command.get_name(), text);
}

} // namespace

bool ParseWholeNumber(const std::string& Text, long long* Value) {
    const size_t digits = Text.compare(0, 1, "-") == 0 ? 1 : 0;
    if (Text.size() == digits || Text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    errno = 0;
    *Value = std::strtoll(Text.c_str(), nullptr, 10);
    return errno != ERANGE;
}

CLI::Validator WholeNumber(long long Minimum, long long Maximum) {
    const std::string range = RangeText(Minimum, Maximum);
    return CLI::Validator(
        [Minimum, Maximum, range](std::string& Text) -> std::string {
            long long value = 0;
            if (!ParseWholeNumber(Text, &value))
                return Text + " is not a whole number; it takes " + range;
            if (value < Minimum || value > Maximum)
                return Text + " is out of range; it takes " + range;
            return std::string();
        },
        range);
}

CLI::Validator Decimal(double Minimum, double Maximum) {
    const std::string range = DecimalText(Minimum) + ".." + DecimalText(Maximum);
    return CLI::Validator(
        [Minimum, Maximum, range](std::string& Text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(Text.c_str(), &end);
            // Decimal digits only: strtod would also take "inf", "nan" and hexadecimal.
            if (Text.empty() || *end != '\0' ||
                Text.find_first_not_of("0123456789.eE+-") != std::string::npos || !std::isfinite(value))
                return Text + " is not a number; it takes " + range;
            if (value < Minimum || value > Maximum)
                return Text + " is out of range; it takes " + range;
            return std::string();
        },
        range);
}

CLI::Validator OneOf(const std::vector<std::string>& Choices) {
    return CLI::Validator(
        [Choices](std::string& Text) -> std::string {
            for (const std::string& choice : Choices) {
                if (Text == choice)
                    return std::string();
            }
            return Text + " is not one of " + ListText(Choices) + Suggestion(Text, Choices);
        },
        [&Choices] {
            std::string names;
            for (const std::string& choice : Choices)
                names += (names.empty() ? "" : "|") + choice;
            return names;
        }());
}

int RunCommandLine(CLI::App& App, int argc, char** argv, const int* ExitCode) {
    try {
        App.parse(argc, argv);
        return *ExitCode;
    } catch (const CLI::Success& e) { // --help, --version
        return App.exit(e);
    } catch (const CLI::ParseError& e) {
        PrintError(Translate(App, e).Message);
        return EXIT_USAGE;
    } catch (const ProgramError& e) {
        PrintError(e.Message);
        return e.Status;
    }
}

} // namespace z40k
