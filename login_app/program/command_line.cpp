#include "login_app/program/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

namespace brellis::login_app::program {

namespace {

constexpr const char* kHelpNames[] = {"-h", "--help"};
constexpr const char* kHelpAbstract = "Show help information.";
constexpr const char* kCompletionOption = "--generate-completion-script";
constexpr const char* kDumpHelpOption = "--experimental-dump-help";
constexpr const char* kTerminator = "--";
// In the order in which the error for an unsupported shell lists them.
constexpr const char* kShells[] = {"zsh", "bash", "fish"};
// An unknown long option fewer edits than this from a known name is offered that name.
constexpr size_t kSuggestionDistance = 4;

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

// One argument as the parser sees it. "--name=value" is the option "--name" with a value. An
// argument "-abc" is an option of that name and also, letter by letter, the short options "-a",
// "-b", "-c" (so "-help" asks for help). After "--" every argument is a value.
struct Element {
  enum class Kind { value, terminator, option };
  Kind kind = Kind::value;
  std::string text;  // the value, or the option's name with its dashes
  std::optional<std::string> value;
  bool used = false;  // taken by the command
};

bool isGroupOfShortNames(const std::string& letters) {
  return letters.size() > 1 && std::all_of(letters.begin(), letters.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0;
         });
}

std::vector<Element> split(const std::vector<std::string>& arguments) {
  std::vector<Element> elements;
  bool terminated = false;
  for (const auto& argument : arguments) {
    if (terminated || argument.size() < 2 || argument[0] != '-') {
      elements.push_back({Element::Kind::value, argument});
    } else if (argument == kTerminator) {
      terminated = true;
      elements.push_back({Element::Kind::terminator, argument});
    } else if (auto equals = argument.find('='); equals != std::string::npos) {
      elements.push_back(
          {Element::Kind::option, argument.substr(0, equals), argument.substr(equals + 1)});
    } else {
      elements.push_back({Element::Kind::option, argument});
      if (argument[1] != '-' && isGroupOfShortNames(argument.substr(1))) {
        for (char letter : argument.substr(1)) {
          elements.push_back({Element::Kind::option, std::string("-") + letter});
        }
      }
    }
  }
  return elements;
}

bool containsOption(const std::vector<Element>& elements, const std::string& name) {
  return std::any_of(elements.begin(), elements.end(), [&](const Element& element) {
    return element.kind == Element::Kind::option && element.text == name;
  });
}

// A request for a completion script: the shell it names, or nullopt for "the login shell". As
// an option every occurrence needs a shell (attached, or the value after it; the last one
// counts); failing that, as a flag no occurrence may have one attached.
std::optional<std::optional<std::string>> completionRequest(const std::vector<Element>& elements) {
  std::vector<size_t> occurrences;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].kind == Element::Kind::option && elements[i].text == kCompletionOption) {
      occurrences.push_back(i);
    }
  }
  if (occurrences.empty()) return std::nullopt;
  std::optional<std::string> shell;
  bool eachHasAShell = true;
  bool anyHasAValue = false;
  for (size_t at : occurrences) {
    if (elements[at].value) {
      shell = elements[at].value;
      anyHasAValue = true;
    } else if (at + 1 < elements.size() && elements[at + 1].kind == Element::Kind::value) {
      shell = elements[at + 1].text;
    } else {
      eachHasAShell = false;
    }
  }
  if (eachHasAShell) return std::optional<std::string>(shell);
  if (!anyHasAValue) return std::optional<std::string>();
  return std::nullopt;
}

CommandLineOutcome completion(const std::optional<std::string>& named,
                              const std::optional<std::string>& loginShell) {
  std::string shells;
  for (const char* shell : kShells) shells += (shells.empty() ? "" : " ") + std::string(shell);
  const std::string choose =
      std::string("\nPlease use ") + kCompletionOption + "=<shell> with one of:\n    " + shells;
  if (named) {
    if (auto script = CommandLine::completionScript(*named)) return output(*script);
    return failure("Can't generate completion scripts for '" + *named + "'." + choose);
  }
  // The login shell is the last part of $SHELL's path.
  std::string detected;
  if (loginShell) {
    std::string path = *loginShell;
    while (!path.empty() && path.back() == '/') path.pop_back();
    const size_t slash = path.find_last_of('/');
    detected = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  if (auto script = CommandLine::completionScript(detected)) return output(*script);
  return failure("Can't autodetect a supported shell." + choose);
}

// Characters of UTF-8 text: each starts at a byte that is not a continuation byte.
std::vector<std::string> characters(const std::string& text) {
  std::vector<std::string> result;
  for (char byte : text) {
    if (result.empty() || (static_cast<unsigned char>(byte) & 0xC0) != 0x80) result.emplace_back();
    result.back() += byte;
  }
  return result;
}

// The number of single-character insertions, deletions and substitutions from `a` to `b`.
size_t editDistance(const std::string& a, const std::string& b) {
  const auto from = characters(a);
  const auto to = characters(b);
  std::vector<size_t> row(to.size() + 1);
  for (size_t j = 0; j <= to.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= from.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= to.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (from[i - 1] == to[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[to.size()];
}

// "Unknown option '<name>'", for a long name with the nearest of `known` if it is close.
std::string unknownOption(const std::string& name, const std::vector<std::string>& known) {
  std::string message = "Unknown option '" + name + "'";
  const bool isShort = name.size() == 2 && name[0] == '-';
  if (isShort) return message;
  const std::string* nearest = nullptr;
  size_t nearestDistance = kSuggestionDistance;
  for (const auto& candidate : known) {
    const size_t distance = editDistance(candidate, name);
    if (distance < nearestDistance) {
      nearest = &candidate;
      nearestDistance = distance;
    }
  }
  if (nearest) message += ". Did you mean '" + *nearest + "'?";
  return message;
}

std::string unexpectedArguments(const std::vector<std::string>& values) {
  if (values.size() == 1) return "Unexpected argument '" + values.front() + "'";
  std::string list;
  for (const auto& value : values) list += (list.empty() ? "'" : ", '") + value + "'";
  return std::to_string(values.size()) + " unexpected arguments: " + list;
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

CommandLineOutcome CommandLine::parse(const std::vector<std::string>& arguments,
                                      const std::optional<std::string>& loginShell) {
  auto elements = split(arguments);

  // The completion script request wins over everything else.
  if (auto request = completionRequest(elements)) return completion(*request, loginShell);

  // The command takes the options it declares; a value given to the flag is an error even
  // when help is asked for too.
  CLI::App app(kAbstract, kCommandName);
  app.set_help_flag();
  int64_t checkCount = 0;
  app.add_flag(kCheckBluetoothAccessFlag, checkCount);
  std::vector<std::string> known;
  for (const CLI::Option* option : app.get_options()) {
    for (const auto& name : option->get_lnames()) known.push_back("--" + name);
  }
  std::vector<std::string> taken;
  for (auto& element : elements) {
    if (element.kind != Element::Kind::option ||
        std::find(known.begin(), known.end(), element.text) == known.end()) {
      continue;
    }
    if (element.value) {
      return failure("The option '" + element.text + "' does not take any value, but '" +
                     *element.value + "' was specified.");
    }
    element.used = true;
    taken.push_back(element.text);
  }

  for (const char* name : kHelpNames) {
    if (containsOption(elements, name)) return output(helpText() + "\n");
  }
  if (containsOption(elements, kDumpHelpOption)) return output(dumpHelpJson());

  // What the command did not take: the first option is unknown, else every value is unexpected.
  std::vector<std::string> extra;
  for (const auto& element : elements) {
    if (element.used || element.kind == Element::Kind::terminator) continue;
    if (element.kind == Element::Kind::option) return failure(unknownOption(element.text, known));
    extra.push_back(element.text);
  }
  if (!extra.empty()) return failure(unexpectedArguments(extra));

  std::vector<std::string> reversed(taken.rbegin(), taken.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return failure(error.what());
  }
  CommandLineOutcome outcome;
  if (checkCount > 0) outcome.mode = Mode::checkBluetoothAccess;
  return outcome;
}

}  // namespace brellis::login_app::program
