// What zynwatch trusts when it reaches another machine: the access key it presents, and the
// certificate it meets on first contact.
#pragma once

#include <cstdio>
#include <string>

#include "platform/remote/activation.h"

// The key to present, from the first source given: --key, --key-file, then the environment's
// ZYNWATCH_KEY (envKey, null when unset). Empty *key: none was given, and the key stored for
// the machine is used. False with *error for a key file that cannot be read or holds no key.
bool ResolveAccessKey(const std::string& keyOption, const std::string& keyFile, const char* envKey,
                      std::string* key, std::string* error);

// Answers the first-contact question: pins silently with --accept-new; on a terminal shows
// the fingerprint and asks yes or no; elsewhere refuses, since nobody could have compared the
// fingerprint, and leaves a hint that says how to accept.
class FirstContactPrompt {
 public:
  // `in` and `out` are the terminal's input and the stream questions go to; `interactive`
  // says whether `in` is a terminal.
  FirstContactPrompt(bool acceptNew, bool interactive, std::FILE* in, std::FILE* out);

  bool operator()(const zyn::remote::FirstContact& contact);

  // Set when it refused without asking: how to accept next time.
  const std::string& hint() const { return hint_; }

 private:
  bool acceptNew_;
  bool interactive_;
  std::FILE* in_;
  std::FILE* out_;
  std::string hint_;
};
