// Reading numbers and fields of a recording's text, as strictly as the
// daemon printed them.
#ifndef LUMENFLIP_REPLAY_TEXT_H
#define LUMENFLIP_REPLAY_TEXT_H

#include <stdint.h>

#include <string>
#include <vector>

namespace replay {

std::string trim(const std::string& text);
bool startsWith(const std::string& text, const std::string& prefix);

// A finite real number and nothing else.
bool parseReal(const std::string& field, double* value);

enum class IntResult { kOk, kNotInteger, kOutOfRange };
// An integer read as the daemon reads one, and nothing else.
IntResult parseInt(const std::string& field, int32_t* value);

std::vector<std::string> splitFields(const std::string& text);

// Trimmed and made printable, for quoting in a message.
std::string quoted(const std::string& text);

}  // namespace replay

#endif
