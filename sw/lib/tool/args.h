// Command-line helpers the tools share: strict numbers, and the messages for
// what getopt_long finds fault with.
#pragma once

#include <cstddef>

namespace args {

// A decimal number from 0 to max with nothing after it; false otherwise.
bool parseNumber(const char *text, unsigned long max, unsigned long *value);
// The value of option `name` as a number from min to max; otherwise false,
// with "NAME takes a number from MIN to MAX, not 'TEXT'" in why.
bool optionNumber(const char *name, const char *text, unsigned long min, unsigned long max, unsigned long *value,
                  char *why, std::size_t size);

// A layout option's number: decimal, 0x hex, and with `sizes` a k suffix
// (1024); from min to max, otherwise false with the message of optionNumber.
bool layoutNumber(const char *name, const char *text, bool sizes, unsigned long min, unsigned long max,
                  unsigned long *value, char *why, std::size_t size);

// The argument getopt_long last looked at: the one it stopped in, or the one
// before when it took a whole argument (`previous` is optind before the call).
const char *lastArgument(char *const *argv, int optind, int previous);

// "unknown option NAME" or "option NAME takes no argument" for getopt_long's
// '?' on argument arg (optopt as it left it), naming long options as given.
void optionError(char *why, std::size_t size, const char *arg, int optopt);
// "option NAME needs WHAT" for getopt_long's ':'.
void missingValue(char *why, std::size_t size, const char *arg, int optopt, const char *what);

}  // namespace args
