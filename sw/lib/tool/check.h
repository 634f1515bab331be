// The image checker shared by conv-check and `nandconv check`: reads an image
// record by record, checks and repairs each (record.h), reports what is not
// clean on standard output, and writes the corrected page data (-o) and the
// repaired image (-f).
//
// Exit status, as cmp and diff have it: 0 when every step is clean or
// corrected and the image is whole, 1 when a step is uncorrectable or the
// image ends inside a record, 2 for trouble (a file that cannot be opened,
// read or written, standard output included).
#pragma once

#include "record.h"

namespace nand {

inline constexpr int kCheckGood = 0;
inline constexpr int kCheckBad = 1;
inline constexpr int kCheckTrouble = 2;

// What -o and -f do with the pages of a bad block, as nanddump's --bb.
enum class BadBlockOutput : std::uint8_t {
    Skip,  // leave them out
    Pad,   // write 0xFF
    Keep,  // write them as read
};
bool badBlockOutputByName(const char *text, BadBlockOutput *out);

struct CheckOptions {
    const char *tool;   // the prefix of trouble lines: "conv-check: NAME: reason"
    const char *unit;   // what a step is called in the report: "sector" or "step"
    const char *units;  // in the summary and the JSON document
    bool layoutInJson;  // describe the layout in the JSON document
    bool quiet = false;
    bool json = false;
    const char *raw = nullptr;    // -o, "-" for standard output
    const char *fixed = nullptr;  // -f, "-" for standard output
    const char *image = nullptr;  // "-" for standard input
    unsigned erasedThreshold = 1;
    // A manifest of injected flips (JSON lines {"page","step","offset","bit"},
    // in page order; manifest.h), read whole and checked before anything is
    // printed, to compare every step's corrections with: each step whose
    // corrections differ is reported, and the status is 1.
    const char *expect = nullptr;
    BadBlockOutput bb = BadBlockOutput::Skip;
    bool perBlock = false;  // a line a block with findings; the JSON "blocks"
    // Called with each record whose page -o takes (or would take), after its
    // check and in -o's order; a padded bad block's as blank flash.
    void (*onPage)(void *context, const Codec &codec, const std::uint8_t *record) = nullptr;
    void *onPageContext = nullptr;
};

// Reports "tool: name: why" on standard error, after the report so far, and
// gives kCheckTrouble.
int checkTrouble(const char *tool, const char *name, const char *why);

// Runs the whole check. "-" for raw or fixed is standard output, and the
// report then goes to standard error. Outputs replace their targets only when
// the run ends with status 0 or 1, after the report has been written; after
// trouble nothing is printed but the trouble line.
int runCheck(const Codec &codec, const CheckOptions &options);

}  // namespace nand
