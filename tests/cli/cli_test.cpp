// Runs the real findlark-cli over small trees and checks what a user or a script sees.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "test_tree.h"

namespace findlark::testing {
namespace {

struct Outcome {
  int exit = -1;
  std::string out, err;
};

std::string Quote(const std::string& text) {  // for the shell, whatever the bytes
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Shell functions for the transcripts: a terminal for the program, shown through cat -v without
// the progress line a slow run shows (and clears) there; a user who is not root, who cannot list
// everything; a manual page as text, and the options named in a text; what the bash and fish
// completions offer for a command line, one offer a line.
constexpr const char* kPrelude = R"sh(set -o pipefail
on_tty() { script -qec "$(printf '%q ' "$@")" /dev/null |
  perl -pe 's/\r?(Searching\.\.\. \d+ found so far\.)?\e\[K//g; s/\r$//' | cat -v; }
as_nobody() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@";
  else "$@"; fi; }
sort() { LC_ALL=C command sort "$@"; }
man_text() { MANWIDTH=80 MAN_KEEP_FORMATTING= man -l "$1" 2>/dev/null | col -b; }
options() { grep -oE -- '(^| )--?[a-zA-Z0-9][a-zA-Z0-9-]*' | tr -d ' ' | sort -u; }
complete_bash() {  # bash splits words at spaces and at "="; an escaped space stays in its word
  . /usr/share/bash-completion/bash_completion && . "$SRC/src/cli/completions/findlark-cli.bash"
  local spaced=${1//=/ = } && read -r -a COMP_WORDS <<<"${spaced//\\ /$'\1'}"
  COMP_WORDS=("${COMP_WORDS[@]//$'\1'/\\ }") && [[ $1 == *[\ =] ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$1 COMP_POINT=${#1} COMPREPLY=()
  _findlark_cli findlark-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort; }
complete_fish() { fish -c "source $SRC/src/cli/completions/findlark-cli.fish; complete -C '$1'" | cut -f1 | sort; }
)sh";

// Runs `script` in bash in `cwd` under TZ=UTC, with findlark-cli on the PATH.
Outcome Shell(const std::string& script, const std::string& cwd) {
  TestTree io;
  const std::string cli = FINDLARK_CLI;
  const std::string command =
      "cd " + Quote(cwd) +
      " && TZ=UTC SHELL=/bin/bash PATH=" + Quote(cli.substr(0, cli.rfind('/'))) +
      ":$PATH TESTS=" + Quote(FINDLARK_CLI_TESTS) + " STANDIN=" + Quote(FINDLARK_PDF_STANDIN) +
      " SRC=" + Quote(FINDLARK_SOURCE_DIR) + " BUILD=" + Quote(FINDLARK_BUILD_DIR) +
      " FINDLARK=" + Quote(FINDLARK_WINDOW) + " bash -c " + Quote(kPrelude + script) + " >" +
      io.Path("out") + " 2>" + io.Path("err") + "; echo $? >" + io.Path("status");
  EXPECT_EQ(std::system(command.c_str()), 0) << script;
  return {std::stoi("0" + io.Read("status")), io.Read("out"), io.Read("err")};
}

// Each command of a transcript, run afresh, must give the output written under it there. With
// FINDLARK_TRANSCRIPT_OUT=FILE (one test picked with --gtest_filter), what they gave is written
// to FILE, to review and copy over.
void CheckTranscript(const std::string& name) {
  std::ifstream in(FINDLARK_CLI_TESTS "/golden/" + name, std::ios::binary);
  ASSERT_TRUE(in) << "no transcript " << name;
  const std::string want{std::istreambuf_iterator<char>(in), {}};
  std::string got;
  std::unique_ptr<TestTree> tree;
  std::istringstream lines(want);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("=== ")) tree = std::make_unique<TestTree>();
    if (line.empty() || line.starts_with("#") || line.starts_with("=== ")) got += line + "\n";
    if (!line.starts_with("$ ") || tree == nullptr) continue;
    const Outcome r = Shell(line.substr(2), tree->root());
    std::string shown = r.out + (r.err.empty() ? "" : "[stderr]\n" + r.err);
    if (r.exit != 0) shown += "[exit " + std::to_string(r.exit) + "]\n";
    for (size_t at; (at = shown.find(tree->root())) != std::string::npos;)
      shown.replace(at, tree->root().size(), "ROOT");
    got += line + "\n" + shown;
  }
  EXPECT_EQ(got, want);
  if (const char* update = getenv("FINDLARK_TRANSCRIPT_OUT")) std::ofstream(update) << got;
}

TEST(Cli, Transcript) {
  CheckTranscript("transcript.txt");
}
TEST(Cli, ShellCompletionsAndManual) {
  CheckTranscript("completions.txt");
}
TEST(Cli, WindowCommandLine) {  // findlark's own options, which need no display
  if (std::string(FINDLARK_WINDOW).empty()) GTEST_SKIP() << "built without the window";
  CheckTranscript("window.txt");
}

}  // namespace
}  // namespace findlark::testing
