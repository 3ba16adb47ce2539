#pragma once
// Text that came from the unit (its version texts, whatever else its answers carry) as it may be shown: on a
// terminal, in JSON, in a trace line, in a window. The unit is outside the program's trust: a version text with
// an escape sequence would retitle or clear the user's terminal, a CR LF would forge a trace line, and a byte
// that is not UTF-8 would stop the JSON writer. So every control byte (C0 with TAB, CR and LF; DEL; C1, as a raw
// byte or as a UTF-8 character) and every byte that is not part of a well-formed UTF-8 character (a lone
// continuation byte, an overlong form, a surrogate, a code point past U+10FFFF, a sequence cut short) is written
// as "\xNN" (lower-case hex), byte by byte. Everything else, accents and other scripts too, stays as it was.
//
// The unit's raw texts stay as they are where the program reasons about them (the version comparison); only
// what is shown passes through here.

#include <string>
#include <string_view>

std::string UnitText(std::string_view text);
