// The key read on Windows, the system's home platform: the console runtime's direct key read.
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "app/key_press.h"

namespace levelling {

namespace {

// _getch returns one of these before the code of a key that has no character (arrows,
// function keys, Home...): 0 for the keys of the original keyboard, 0xE0 for the others.
constexpr int kFunctionKeyPrefix = 0;
constexpr int kExtendedKeyPrefix = 0xE0;

}  // namespace

void keep_typeahead_for_key(std::FILE *in) {
  if (_isatty(_fileno(in))) {
    std::setvbuf(in, nullptr, _IONBF, 0);
  }
}

int read_key_press() {
  if (!_isatty(_fileno(stdin))) {
    return kNoConsole;
  }
  // The console gives each key once, without echo and without Enter; Escape comes alone.
  const int first = _getch();
  if (first == kFunctionKeyPrefix || first == kExtendedKeyPrefix) {
    _getch();  // the key's code, consumed with its prefix
    return kKeyWithoutCharacter;
  }
  return first;
}

}  // namespace levelling
