// The text shown for a failed call: for an OPC code the server's fixed text, a line break and
// the code; for other codes the system's message.
#pragma once

#include <string>

#include "platform/com/hresult.h"

std::string ErrorText(HRESULT hr);
