// CounterBrowser: one client's cursor over the catalogue's objects, instances and counters.
//
// Levels: 0 root, 1 object level, 2 instance level, 3 counter level. The cursor keeps the
// names chosen so far and the list of names offered at its position (the child list).
#pragma once

#include <string>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/types.h"

class CounterBrowser {
 public:
  // Starts at root with the object list. Listing failures leave an empty child list.
  CounterBrowser();

  HRESULT ResetToRoot();
  HRESULT MoveDown(const std::string& name);
  HRESULT MoveUp();
  HRESULT SetName(const std::string& name);

  int Level() const { return level_; }
  // "Root" at level 0, else the object, instance or counter name of the level.
  std::string CurrentName() const;
  // "\" + object [+ "(" + instance + ")"] [+ "\" + counter].
  std::string Path() const;
  const std::vector<std::string>& Children() const { return children_; }

  // Lists every object again with the library's refresh flag set, so the catalogue is re-read;
  // the child list becomes the object list, the level and names stay.
  HRESULT RefreshObjects();

  // The text-in-two-calls convention of the cursor's text results: with bufferChars 0,
  // *chars receives the length in characters; otherwise the text is copied into buffer (cut
  // to bufferChars - 1 characters, never splitting a character, and NUL-terminated).
  // Characters here are the `char` units of the UTF-8 text, as in every buffer size of the
  // system, so a buffer of length + 1 always holds the whole text; a cut never leaves part of
  // a multi-byte character behind. In the copying call *chars (when given) receives the
  // number of units copied. A missing pointer gives E_POINTER.
  static HRESULT CopyText(const std::string& text, char* buffer, DWORD bufferChars, DWORD* chars);

 private:
  std::string object_ = "\\";
  std::string instance_;
  std::string counter_;
  int level_ = 0;
  std::vector<std::string> children_;
};
