// Splitting a parameter line into program arguments the way a POSIX shell splits words, but
// without a shell: nothing is expanded or run.
//
// Words are separated by spaces, tabs and newlines. Single quotes keep everything up to the
// next single quote; double quotes keep everything up to the next unescaped double quote, where
// a backslash escapes only $ ` " \ and a newline; outside quotes a backslash makes the next
// character literal, and a backslash before a newline joins the lines. Quotes may start and end
// inside a word ('a'b"c" is one word abc) and an empty pair of quotes is an empty word.
//
// Everything else is literal: $HOME, `cmd`, $(cmd), ;, |, &, <, >, *, ~ and # reach the
// program as written. That is the point: parameters come from a remote client, and a shell
// would turn them into commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyn::desktop {

// The words of `text`; nullopt with *error set when a quote is not closed or the text ends in
// a lone backslash.
std::optional<std::vector<std::string>> SplitShellWords(std::string_view text,
                                                        std::string* error = nullptr);

}  // namespace zyn::desktop
