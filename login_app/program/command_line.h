#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brellis::login_app::program {

// The parsed mode flag of the root command (an enumerable flag with one case).
enum class Mode { checkBluetoothAccess };

// What the command line asks for: run the command with its mode, or end at once after printing
// `text` to standard output (help, a completion script, the JSON description; status 0) or to
// standard error (a usage error; status 64).
struct CommandLineOutcome {
  enum class Kind { run, printOutput, printError };
  Kind kind = Kind::run;
  std::optional<Mode> mode;
  std::string text;
  int status = 0;
};

// The command line of `brellis`. CLI11 declares and parses the flag; this adapter splits the
// arguments, decides in which order requests and errors are looked for, and gives the texts
// users of the program know. In that order:
//   1. --generate-completion-script[=]<shell>     (hidden) a completion script, stdout, 0; with
//      no shell, the last part of $SHELL names it; another shell is an error
//   2. a value given to the flag (--check-bluetooth-access=x)   error
//   3. help: -h, --help, also -h as a letter of a group of short names (-help, -qh)   stdout, 0
//   4. --experimental-dump-help                   (hidden) a JSON description, stdout, 0
//   5. the first unknown option, named without its value; a long one fewer than four edits from
//      the flag's name gets "Did you mean" the flag
//   6. unexpected arguments (everything after "--" is one): "Unexpected argument 'foo'",
//      "2 unexpected arguments: 'foo', 'bar'"
// Errors: "Error: <message>\nUsage: ...\n  See 'brellis --help' for more information.\n" on
// stderr, status 64. Help is followed by an empty line. A repeated --check-bluetooth-access is
// accepted.
class CommandLine {
 public:
  static constexpr const char* kCommandName = "brellis";
  static constexpr const char* kAbstract = "Background process used with Velkor Unlock.";
  static constexpr const char* kCheckBluetoothAccessFlag = "--check-bluetooth-access";
  static constexpr int kExitUsageError = 64;

  // `arguments` excludes the program name; `loginShell` is the value of $SHELL, if set.
  static CommandLineOutcome parse(const std::vector<std::string>& arguments,
                                  const std::optional<std::string>& loginShell = std::nullopt);

  static std::string helpText();
  static std::string usageLine();  // "brellis [--check-bluetooth-access]"
  static std::string errorText(const std::string& message);
  // nullopt for a shell other than bash, zsh and fish.
  static std::optional<std::string> completionScript(const std::string& shell);
  static std::string dumpHelpJson();
};

}  // namespace brellis::login_app::program
