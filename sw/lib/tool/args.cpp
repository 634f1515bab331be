// Command-line helpers the tools share; see args.h.
#include "args.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace args {

namespace {

// The option as it was given: "--name" without "=value", or "-c".
void describeOption(char *buf, std::size_t size, const char *arg, int opt)
{
    if (std::strncmp(arg, "--", 2) == 0) {
        const std::size_t n = std::strcspn(arg, "=");
        std::snprintf(buf, size, "%.*s", static_cast<int>(n < 40 ? n : 40), arg);
    } else {
        std::snprintf(buf, size, "-%c", opt);
    }
}

}  // namespace

bool parseNumber(const char *text, unsigned long max, unsigned long *value)
{
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *value = v;
    return true;
}

bool optionNumber(const char *name, const char *text, unsigned long min, unsigned long max, unsigned long *value,
                  char *why, std::size_t size)
{
    if (parseNumber(text, max, value) && *value >= min) {
        return true;
    }
    std::snprintf(why, size, "%s takes a number from %lu to %lu, not '%.20s'", name, min, max, text);
    return false;
}

bool layoutNumber(const char *name, const char *text, bool sizes, unsigned long min, unsigned long max,
                  unsigned long *value, char *why, std::size_t size)
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    const bool leadingZero = !hex && text[0] == '0' && text[1] != '\0';
    char *end = nullptr;
    errno = 0;
    unsigned long v = 0;
    bool ok = !leadingZero && std::isxdigit(static_cast<unsigned char>(digits[0])) != 0 &&
              (hex || std::isdigit(static_cast<unsigned char>(digits[0])) != 0);
    if (ok) {
        v = std::strtoul(digits, &end, hex ? 16 : 10);
        ok = errno == 0;
    }
    if (ok && sizes && !hex && (*end == 'k' || *end == 'K')) {
        ok = v <= max / 1024;
        v *= 1024;
        end++;
    }
    if (ok && *end == '\0' && v >= min && v <= max) {
        *value = v;
        return true;
    }
    std::snprintf(why, size, "%s takes a number from %lu to %lu, not '%.20s'", name, min, max, text);
    return false;
}

const char *lastArgument(char *const *argv, int optind, int previous)
{
    return argv[optind > previous ? optind - 1 : previous];
}

void optionError(char *why, std::size_t size, const char *arg, int optopt)
{
    char name[48];
    describeOption(name, sizeof name, arg, optopt);
    // A long option given a value it does not take: getopt_long names it in
    // optopt; an unknown one leaves optopt 0.
    if (optopt != 0 && std::strncmp(arg, "--", 2) == 0 && std::strchr(arg, '=') != nullptr) {
        std::snprintf(why, size, "option %s takes no argument", name);
    } else {
        std::snprintf(why, size, "unknown option %s", name);
    }
}

void missingValue(char *why, std::size_t size, const char *arg, int optopt, const char *what)
{
    char name[48];
    describeOption(name, sizeof name, arg, optopt);
    std::snprintf(why, size, "option %s needs %s", name, what);
}

}  // namespace args
