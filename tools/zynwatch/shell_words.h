// Arguments joined into one parameter text that the machine's server splits again as a shell
// would (without running one): each word quoted where a blank, a quote or a shell character
// would otherwise change it.
#pragma once

#include <string>
#include <vector>

std::string QuoteShellWord(const std::string& word);
std::string JoinShellWords(const std::vector<std::string>& words);
