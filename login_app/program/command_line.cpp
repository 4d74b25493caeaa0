#include "login_app/program/command_line.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace brellis::login_app::program {

namespace {

constexpr const char* kHelpShort = "-h";
constexpr const char* kHelpLong = "--help";
constexpr const char* kHelpAbstract = "Show help information.";
constexpr const char* kCompletionOption = "--generate-completion-script";
constexpr const char* kDumpHelpOption = "--experimental-dump-help";
constexpr const char* kTerminator = "--";
constexpr const char* kShells[] = {"bash", "zsh", "fish"};

constexpr const char* kHelpText =
    "OVERVIEW: Background process used with Velkor Unlock.\n"
    "\n"
    "USAGE: brellis [--check-bluetooth-access]\n"
    "\n"
    "OPTIONS:\n"
    "  --check-bluetooth-access\n"
    "  -h, --help              Show help information.\n";

constexpr const char* kBashScript = R"(#!/bin/bash

_brellis() {
    declare -a cur
    cur="${COMP_WORDS[COMP_CWORD]}"
    COMPREPLY=()
    local opts="--check-bluetooth-access -h --help"
    COMPREPLY=( $(compgen -W "$opts" -- "$cur") )
}

complete -F _brellis brellis
)";

constexpr const char* kZshScript = R"(#compdef brellis

_brellis() {
    integer ret=1
    local -a args
    args+=(
        '--check-bluetooth-access'
        '(-h --help)'{-h,--help}'[Show help information.]'
    )
    _arguments -w -s -S $args[@] && ret=0
    return ret
}

compdef _brellis brellis
)";

constexpr const char* kFishScript = R"(complete -c brellis -f
complete -c brellis -l check-bluetooth-access
complete -c brellis -s h -l help -d 'Show help information.'
)";

CommandLineOutcome output(std::string text) {
  return {CommandLineOutcome::Kind::printOutput, std::nullopt, std::move(text), 0};
}

CommandLineOutcome failure(const std::string& message) {
  return {CommandLineOutcome::Kind::printError, std::nullopt, CommandLine::errorText(message),
          CommandLine::kExitUsageError};
}

bool isOptionLike(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

// The value of `--option=value` or of the argument after `--option`, if any.
std::optional<std::string> optionValue(const std::vector<std::string>& options, size_t at,
                                       const std::string& name) {
  const std::string& argument = options[at];
  if (argument.size() > name.size() && argument[name.size()] == '=') {
    return argument.substr(name.size() + 1);
  }
  if (at + 1 < options.size() && !isOptionLike(options[at + 1])) return options[at + 1];
  return std::nullopt;
}

bool hasName(const std::string& argument, const std::string& name) {
  return argument == name || argument.rfind(name + "=", 0) == 0;
}

}  // namespace

std::string CommandLine::helpText() { return kHelpText; }

std::string CommandLine::usageLine() {
  return std::string(kCommandName) + " [" + kCheckBluetoothAccessFlag + "]";
}

std::string CommandLine::errorText(const std::string& message) {
  return "Error: " + message + "\nUsage: " + usageLine() + "\n  See '" + kCommandName +
         " --help' for more information.\n";
}

std::optional<std::string> CommandLine::completionScript(const std::string& shell) {
  if (shell == "bash") return kBashScript;
  if (shell == "zsh") return kZshScript;
  if (shell == "fish") return kFishScript;
  return std::nullopt;
}

std::string CommandLine::dumpHelpJson() {
  using Json = nlohmann::ordered_json;
  auto name = [](const char* kind, const char* text) {
    return Json{{"kind", kind}, {"name", text}};
  };
  Json flag = {{"kind", "flag"},
               {"shouldDisplay", true},
               {"isOptional", true},
               {"isRepeating", false},
               {"names", Json::array({name("long", "check-bluetooth-access")})},
               {"preferredName", name("long", "check-bluetooth-access")},
               {"valueName", "check-bluetooth-access"}};
  Json help = {{"kind", "flag"},
               {"shouldDisplay", true},
               {"isOptional", true},
               {"isRepeating", false},
               {"names", Json::array({name("short", "h"), name("long", "help")})},
               {"preferredName", name("long", "help")},
               {"valueName", "help"},
               {"abstract", kHelpAbstract}};
  Json description = {{"serializationVersion", 0},
                      {"command",
                       {{"commandName", kCommandName},
                        {"abstract", kAbstract},
                        {"usage", usageLine()},
                        {"shouldDisplay", true},
                        {"arguments", Json::array({flag, help})}}}};
  return description.dump(2) + "\n";
}

CommandLineOutcome CommandLine::parse(const std::vector<std::string>& arguments) {
  // Everything after "--" is a positional argument; the options are the arguments before it.
  std::vector<std::string> options;
  std::vector<std::string> positionals;
  bool terminated = false;
  for (const auto& argument : arguments) {
    if (terminated) {
      positionals.push_back(argument);
    } else if (argument == kTerminator) {
      terminated = true;
    } else {
      options.push_back(argument);
    }
  }

  // The hidden tool options come first, then help, which wins over any error.
  for (size_t i = 0; i < options.size(); ++i) {
    if (options[i] == kDumpHelpOption) return output(dumpHelpJson());
    if (hasName(options[i], kCompletionOption)) {
      auto shell = optionValue(options, i, kCompletionOption);
      const std::string label = std::string("'") + kCompletionOption + " <shell>'";
      if (!shell) return failure("Missing value for " + label);
      if (auto script = completionScript(*shell)) return output(*script);
      std::string valid;
      for (const char* known : kShells) valid += (valid.empty() ? "" : ", ") + std::string(known);
      return failure("The value '" + *shell + "' is invalid for " + label +
                     ". Please provide one of " + valid + ".");
    }
  }
  for (const auto& option : options) {
    if (option == kHelpShort || option == kHelpLong) return output(helpText());
  }
  for (const auto& option : options) {
    const std::string flag = kCheckBluetoothAccessFlag;
    if (option.size() > flag.size() && option.rfind(flag + "=", 0) == 0) {
      return failure("The option '" + flag + "' does not take any value, but '" +
                     option.substr(flag.size() + 1) + "' was specified.");
    }
  }

  CLI::App app(kAbstract, kCommandName);
  app.set_help_flag();
  app.allow_extras();
  int64_t checkCount = 0;
  app.add_flag(kCheckBluetoothAccessFlag, checkCount);
  std::vector<std::string> reversed(options.rbegin(), options.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return failure(error.what());
  }
  for (const auto& extra : app.remaining()) {
    if (isOptionLike(extra)) return failure("Unknown option '" + extra + "'");
    return failure("Unexpected argument '" + extra + "'");
  }
  if (!positionals.empty()) return failure("Unexpected argument '" + positionals.front() + "'");

  CommandLineOutcome outcome;
  if (checkCount > 0) outcome.mode = Mode::checkBluetoothAccess;
  return outcome;
}

}  // namespace brellis::login_app::program
