// A command line split into arguments with the rules of the C run-time's start-up code, for
// programs that get their command line as one text (GetCommandLineW) rather than from wmain.
#pragma once

#include <vector>

#include "win32/base.h"

// The program name comes first: it ends at the first blank outside quotes, and its quotes are
// dropped without any escape. Every later argument follows the run-time's quoting rules: blanks
// (spaces, tabs) outside quotes separate; 2n backslashes before a quote give n backslashes and the
// quote opens or closes quoting, 2n+1 give n backslashes and a literal quote; other backslashes
// are literal; a doubled quote inside quotes gives one literal quote and ends the quoting.
inline std::vector<WStr> SplitCommandLine(WStrView cmd) {
  std::vector<WStr> args;
  auto blank = [](WCHAR c) { return c == u' ' || c == u'\t'; };
  size_t i = 0;

  WStr program;
  bool quoted = false;
  for (; i < cmd.size() && (quoted || !blank(cmd[i])); ++i) {
    if (cmd[i] == u'"') {
      quoted = !quoted;
    } else {
      program += cmd[i];
    }
  }
  args.push_back(program);

  for (;;) {
    while (i < cmd.size() && blank(cmd[i])) ++i;
    if (i >= cmd.size()) break;
    WStr arg;
    quoted = false;
    while (i < cmd.size() && (quoted || !blank(cmd[i]))) {
      if (cmd[i] == u'\\') {
        size_t n = 0;
        while (i < cmd.size() && cmd[i] == u'\\') ++n, ++i;
        if (i < cmd.size() && cmd[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(n, u'\\');
        }
        continue;
      }
      if (cmd[i] == u'"') {
        if (quoted && i + 1 < cmd.size() && cmd[i + 1] == u'"') {
          arg += u'"';
          ++i;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += cmd[i++];
    }
    args.push_back(arg);
  }
  return args;
}
