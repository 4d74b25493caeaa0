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

// The command line of `brellis`. CLI11 recognises the options; this adapter gives the texts
// users of the program know:
//   help (-h, --help; wins over everything else)  stdout, status 0
//   errors: "Error: <message>\nUsage: ...\n  See 'brellis --help' for more information.\n"
//           on stderr, status 64, for an unknown option, an unexpected argument, a value given
//           to the flag
//   --generate-completion-script bash|zsh|fish    (hidden) a completion script, stdout, 0
//   --experimental-dump-help                      (hidden) a JSON description, stdout, 0
// A repeated --check-bluetooth-access is accepted.
class CommandLine {
 public:
  static constexpr const char* kCommandName = "brellis";
  static constexpr const char* kAbstract = "Background process used with Velkor Unlock.";
  static constexpr const char* kCheckBluetoothAccessFlag = "--check-bluetooth-access";
  static constexpr int kExitUsageError = 64;

  // `arguments` excludes the program name.
  static CommandLineOutcome parse(const std::vector<std::string>& arguments);

  static std::string helpText();
  static std::string usageLine();  // "brellis [--check-bluetooth-access]"
  static std::string errorText(const std::string& message);
  // nullopt for a shell other than bash, zsh and fish.
  static std::optional<std::string> completionScript(const std::string& shell);
  static std::string dumpHelpJson();
};

}  // namespace brellis::login_app::program
