#include "tools/zynwatch/trust.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string Trimmed(std::string text) {
  auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && space(text.back()))
    text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && space(text[start]))
    ++start;
  return text.substr(start);
}

// One line of input without its line end; false at the end of the input.
bool ReadLine(std::FILE* in, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n')
    *line += static_cast<char>(c);
  return c != EOF || !line->empty();
}

}  // namespace

bool ResolveAccessKey(const std::string& keyOption, const std::string& keyFile, const char* envKey,
                      std::string* key, std::string* error) {
  key->clear();
  if (!keyOption.empty()) {
    *key = Trimmed(keyOption);
  } else if (!keyFile.empty()) {
    std::ifstream file(keyFile);
    if (!file) {
      *error = keyFile + ": " + std::strerror(errno);
      return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    *key = Trimmed(text.str());
    if (key->empty()) {
      *error = keyFile + ": the file holds no key";
      return false;
    }
  } else if (envKey != nullptr) {
    *key = Trimmed(envKey);
  }
  return true;
}

FirstContactPrompt::FirstContactPrompt(bool acceptNew, bool interactive, std::FILE* in,
                                       std::FILE* out)
    : acceptNew_(acceptNew), interactive_(interactive), in_(in), out_(out) {}

bool FirstContactPrompt::operator()(const zyn::remote::FirstContact& contact) {
  if (acceptNew_) return true;
  if (!interactive_) {
    hint_ = "machine \"" + contact.machine +
            "\" has not been contacted before; without a terminal nobody can confirm its "
            "certificate. To trust it, run again with --accept-new, or on a terminal and answer "
            "yes";
    return false;
  }
  std::fprintf(out_,
               "Machine \"%s\" is contacted for the first time. Its certificate's SHA-256 "
               "fingerprint is\n  %s\nCompare it with the fingerprint of that machine's server "
               "before you trust it.\nTrust this certificate and connect (yes/no)? ",
               contact.machine.c_str(), contact.fingerprint.c_str());
  std::fflush(out_);
  for (std::string answer; ReadLine(in_, &answer);) {
    answer = Trimmed(answer);
    for (char& c : answer)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (answer == "yes") return true;
    if (answer == "no") return false;
    std::fprintf(out_, "Please type 'yes' or 'no': ");
    std::fflush(out_);
  }
  std::fprintf(out_, "\n");
  return false;
}
