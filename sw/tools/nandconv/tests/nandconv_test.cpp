// nandconv as a user runs it: images built for every layout against the
// independent model's golden images (golden/make_golden.py), checked back,
// corrected and extracted, and misuse refused before any file is touched.
#include "cli.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::writeFile;
namespace fs = std::filesystem;

const std::string kGolden = GOLDEN_DIR;

// The cases of golden/make_golden.py: name, arguments, page, OOB and step
// sizes, pad byte.
struct Case {
    std::string name;
    std::vector<std::string> args;
    std::size_t page;
    std::size_t oob;
    std::size_t step;
    char pad;
};

const Case kCases[] = {
    {"classic", {}, 2048, 64, 512, '\0'},
    {"classic-keep-erased", {"--keep-erased"}, 2048, 64, 512, '\0'},
    {"linux-hamming", {"--layout", "linux-hamming"}, 2048, 64, 256, '\xFF'},
    {"linux-hamming-sm", {"--layout", "linux-hamming", "--sm-order"}, 2048, 64, 256, '\xFF'},
    {"linux-hamming-oob128", {"--layout", "linux-hamming", "--oob", "128"}, 2048, 128, 256, '\xFF'},
    {"linux-hamming-512", {"--layout", "linux-hamming-512"}, 2048, 64, 512, '\xFF'},
    {"linux-hamming-4k", {"--layout", "linux-hamming-512", "--page", "4096", "--oob", "224", "--ecc-offset", "200"}, 4096, 224, 512, '\xFF'},
    {"linux-hamming-sp", {"--layout", "linux-hamming-sp"}, 512, 16, 256, '\xFF'},
    {"offset", {"--layout", "linux-hamming-512", "--ecc-offset", "2"}, 2048, 64, 512, '\xFF'},
    {"linux-bch4", {"--layout", "linux-bch4"}, 2048, 64, 512, '\xFF'},
    {"linux-bch8", {"--layout", "linux-bch8"}, 2048, 64, 512, '\xFF'},
    {"linux-bch8-4k", {"--layout", "linux-bch8-4k"}, 4096, 224, 512, '\xFF'},
    {"bch2-on-hamming", {"--layout", "linux-hamming-512", "--ecc", "bch", "--strength", "2"}, 2048, 64, 512, '\xFF'},
    {"linux-bch24-1k", {"--layout", "linux-bch24-1k"}, 4096, 224, 1024, '\xFF'},
    {"bch16-lsb-4443",
     {"--layout", "linux-bch8", "--step", "1k", "--m", "14", "--poly", "0x4443", "--strength", "16", "--bit-order",
      "lsb-first"},
     2048, 64, 1024, '\xFF'},
    {"custom", {"--layout-file", kGolden + "/custom.json"}, 2048, 64, 512, '\0'},
    {"interleaved", {"--layout-file", kGolden + "/interleaved.json"}, 2048, 64, 512, '\xFF'},
    {"interleaved-hamming", {"--layout-file", kGolden + "/interleaved-hamming.json"}, 2048, 64, 256, '\xFF'},
    {"protected", {"--layout-file", kGolden + "/protected.json"}, 2048, 64, 512, '\xFF'},
};

class NandconvTest : public cli::ToolTest {
protected:
    Result nandconv(const std::string &command, const std::vector<std::string> &layout,
                    const std::vector<std::string> &rest, const cli::Streams &streams = {}) const
    {
        std::vector<std::string> args = {NANDCONV_BIN, command};
        args.insert(args.end(), layout.begin(), layout.end());
        args.insert(args.end(), rest.begin(), rest.end());
        return exec(args, streams);
    }

    void SetUp() override
    {
        ToolTest::SetUp();
        input = readFile(kGolden + "/input.bin");
        writeFile(at("input.bin"), input);
    }

    std::string input;
};

std::string summary(std::size_t pages, std::size_t erased, std::size_t clean, std::size_t corrected,
                    std::size_t uncorrectable)
{
    return std::to_string(pages) + " pages, " + std::to_string(erased) + " erased; steps: " + std::to_string(clean) +
           " clean, " + std::to_string(corrected) + " corrected, " + std::to_string(uncorrectable) + " uncorrectable\n";
}

// Every layout: the image is byte for byte the model's, checks clean, and -o
// gives the input back padded to whole pages.
TEST_F(NandconvTest, GoldenImagesBuildAndCheckClean)
{
    for (const Case &c : kCases) {
        Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        const std::string golden = readFile(kGolden + "/" + c.name + ".img");
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), golden)) << c.name;

        writeFile(at("golden.img"), golden);
        std::vector<std::string> layout = c.args;
        if (!layout.empty() && layout[0] == "--keep-erased") {
            layout.erase(layout.begin());  // an option of build alone
        }
        r = nandconv("check", layout, {"-o", "raw.out", "golden.img"});
        const std::size_t pages = golden.size() / (c.page + c.oob);
        const std::size_t steps = c.page / c.step;
        // Blank pages: the input's third 2048 bytes are 0xFF, which the Linux
        // layouts (and --keep-erased) write as blank flash.
        const bool blank = c.pad == '\xFF' || c.name == "classic-keep-erased";
        const std::size_t erased = blank ? 2048 / c.page : 0;
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, summary(pages, erased, (pages - erased) * steps, 0, 0)) << c.name;
        std::string padded = input;
        padded.resize(pages * c.page, c.pad);
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded)) << c.name;
    }
}

// `layouts --json` with layout options prints one layout; saved and read
// back with --layout-file it builds the same image, for every preset and for
// presets changed by options.
TEST_F(NandconvTest, LayoutFilesRoundTrip)
{
    std::vector<std::vector<std::string>> layouts;
    const Result all = exec({NANDCONV_BIN, "layouts", "--json"});
    ASSERT_EQ(all.status, 0);
    for (std::size_t at = all.out.find("{\"name\":\""); at != std::string::npos;
         at = all.out.find("{\"name\":\"", at + 1)) {
        const std::size_t from = at + 9;
        layouts.push_back({"--layout", all.out.substr(from, all.out.find('"', from) - from)});
    }
    ASSERT_EQ(layouts.size(), 11u);
    for (const Case &c : kCases) {
        if (!c.args.empty() && ((c.args.size() > 2 && c.args[0] == "--layout") || c.args[0] == "--layout-file")) {
            layouts.push_back(c.args);
        }
    }
    layouts.push_back({"--layout", "linux-bch8", "--oob", "128"});
    layouts.push_back({"--layout", "linux-hamming-sp", "--page", "2k", "--oob", "0x40"});
    for (const auto &layout : layouts) {
        std::vector<std::string> args = {NANDCONV_BIN, "layouts", "--json"};
        args.insert(args.end(), layout.begin(), layout.end());
        Result r = exec(args);
        ASSERT_EQ(r.status, 0) << layout[1] << ": " << r.err;
        writeFile(at("layout.json"), r.out);
        ASSERT_EQ(nandconv("build", layout, {"input.bin", "preset.img"}).status, 0) << layout[1];
        r = nandconv("build", {"--layout-file", "layout.json"}, {"input.bin", "file.img"});
        ASSERT_EQ(r.status, 0) << layout[1] << ": " << r.err;
        EXPECT_TRUE(sameBytes(readFile(at("file.img")), readFile(at("preset.img")))) << layout[1];
        // The file read back prints as it was written.
        r = exec({NANDCONV_BIN, "layouts", "--json", "--layout-file", "layout.json"});
        EXPECT_EQ(r.out, readFile(at("layout.json"))) << layout[1];
    }
    // Options after a file change it, as they change a preset.
    ASSERT_EQ(exec({NANDCONV_BIN, "layouts", "--json", "--layout", "linux-bch8"}).status, 0);
    writeFile(at("layout.json"), exec({NANDCONV_BIN, "layouts", "--json", "--layout", "linux-bch4"}).out);
    Result changed = exec({NANDCONV_BIN, "layouts", "--json", "--layout-file", "layout.json", "--strength", "8"});
    EXPECT_NE(changed.out.find("\"strength\":8,"), std::string::npos) << changed.out;
    EXPECT_NE(changed.out.find("\"ecc\":[{\"offset\":12,\"length\":52}]"), std::string::npos) << changed.out;
    changed = exec({NANDCONV_BIN, "layouts", "--json", "--layout-file", "layout.json", "--ecc-offset", "2"});
    EXPECT_NE(changed.out.find("\"ecc\":[{\"offset\":2,\"length\":28}]"), std::string::npos) << changed.out;
}

// Layout files that cannot work: one line naming the file, the key and the
// reason; status 2, nothing written.
TEST_F(NandconvTest, LayoutFileRefusals)
{
    writeFile(at("out.img"), "keep");
    const std::string base = R"("page":2048,"oob":64,"step":512,"scheme":"bch","strength":4)";
    const struct {
        std::string json;
        std::string err;
    } cases[] = {
        {"{" + base + R"(,"colour":"red"})", R"(key "colour": no such key)"},
        {"{" + base + R"(,"strength":4})", R"(key "strength": given twice)"},
        {R"({"page":"2k","oob":64})", R"(key "scheme": missing; a layout names its code (classic, hamming, bch or none))"},
        {"{" + base + R"(,"m":16})", R"(key "m": takes 5 to 15, not 16)"},
        {"{" + base + R"(,"m":"x"})", R"(key "m": 'x' is not a whole number)"},
        {"{" + base + R"(,"erased_mask":1})", R"(key "erased_mask": true or false expected)"},
        {"{" + base + R"(,"poly":"0x201d"})", R"(key "poly": 0x201d is not a primitive polynomial of degree 13)"},
        {R"({"page":2048,"oob":64,"scheme":"bch","strength":90})",
         R"(key "strength": BCH over GF(2^13) takes a strength from 1 to 80 bits with 512-byte steps (--strength))"},
        {"{" + base + R"(,"ecc":[{"offset":60,"length":28}]})",
         R"(key "ecc": the ECC (28 bytes from OOB byte 60) runs past the 64-byte OOB)"},
        {"{" + base + R"(,"ecc":[{"offset":0,"length":28}]})",
         R"(key "ecc": the ECC (OOB bytes 0..27) covers the bad-block marker at OOB byte 0)"},
        {"{" + base + R"(,"ecc":[{"offset":2,"length":14},{"offset":10,"length":14}]})",
         R"(key "ecc": the ECC ranges at OOB bytes 2 and 10 overlap)"},
        {"{" + base + R"(,"ecc":[{"offset":2,"length":20}]})", R"(key "ecc": the ECC ranges hold 20 bytes; 4 steps of 7 bytes need 28)"},
        {"{" + base + R"(,"ecc_bytes_per_step":6})",
         R"(key "ecc_bytes_per_step": 6 ECC bytes a step: the code takes 7, and at most 160 are stored)"},
        {"{" + base + R"(,"ecc_xor":"abc"})", R"(key "ecc_xor": a hex string of whole bytes expected (at most 160))"},
        {"{" + base + R"(,"ecc_xor":"0102030405060708"})", R"(key "ecc_xor": 8 bytes to XOR into a 7-byte code)"},
        {"{" + base + R"(,"bad_block_marker":[64]})", R"(key "bad_block_marker": a marker at OOB byte 64, past the 64-byte OOB)"},
        {"{" + base + R"(,"placement":"interleaved"})",
         R"(key "bad_block_marker": a marker at raw byte 2048: the steps take raw bytes 0..2075 and the record ends at 2112)"},
        {"{" + base + R"(,"placement":"interleaved","bad_block_marker":[],"postpad":10})",
         R"(key "oob": 4 interleaved steps of 529 bytes (data, prepad, ECC, postpad) take 2116 bytes; the page and OOB hold 2112)"},
        {"{" + base + R"(,"placement":"interleaved","bad_block_marker":[],"ecc":[{"offset":36,"length":28}]})",
         R"(key "ecc": an interleaved layout keeps each step's ECC after its data: no ECC ranges or offset)"},
        {"{" + base + R"(,"placement":"interleaved","bad_block_marker":[],"protected_per_step":2})",
         R"(key "protected_per_step": an interleaved layout protects its prepad bytes (protect_prepad), not OOB ranges)"},
        {"{" + base + R"(,"prepad":2})", R"(key "prepad": prepad, postpad and protect_prepad are for interleaved layouts)"},
        {"{" + base + R"(,"protected_per_step":2,"protected":[{"offset":2,"length":6}]})",
         R"(key "protected": the protected ranges hold 6 bytes; 4 steps of 2 protected bytes need 8)"},
        {"{" + base + R"(,"protected_per_step":2})",
         R"(key "protected_per_step": the protected ranges hold 0 bytes; 4 steps of 2 protected bytes need 8)"},
        {"{" + base + R"(,"protected_per_step":2,"protected":[{"offset":30,"length":8}]})",
         R"(key "protected": the protected bytes at OOB byte 30 overlap the ECC at OOB byte 36)"},
        {"{" + base + R"(,"protected_per_step":1,"protected":[{"offset":2,"length":2},{"offset":3,"length":2}]})",
         R"(key "protected": the protected ranges at OOB bytes 2 and 3 overlap)"},
        {R"({"scheme":"hamming","protected_per_step":1,"protected":[{"offset":2,"length":8}]})",
         R"(key "protected_per_step": protected bytes need a BCH code; the hamming code covers its step's data only)"},
        {R"({"page":4096,"oob":224,"step":4096,"scheme":"bch","strength":4,"protected_per_step":257,"protected":[{"offset":2,"length":257}]})",
         R"(key "protected_per_step": a code covers at most 4352 bytes, not 4096 of data and 257 protected)"},
        {R"({"page":2032,"oob":64,"step":1016,"scheme":"bch","m":13,"strength":4,"protected_per_step":2,"protected":[{"offset":2,"length":4}]})",
         R"(key "strength": BCH over GF(2^13) takes a strength from 1 to 3 bits with 1016-byte steps and 2 protected bytes (--strength))"},
        {R"({"scheme":"hamming","strength":2})", R"(key "strength": the hamming code corrects one bit)"},
        {R"({"scheme":"hamming","bit_order":"lsb-first"})", R"(key "bit_order": the field, polynomial and bit order are for BCH)"},
        {R"({"scheme":"none","step":300})", R"(key "page": a page of 2048 bytes is not a whole number of 300-byte steps (at most 65536 bytes))"},
        {R"({"vendor":"sunxi","usable_page":1024})", R"(key "usable_page": a key of sunxi-boot0 only)"},
        {R"({"vendor":"sunxi","m":13})",
         R"(key "m": sunxi's controller gives BCH over GF(2^14), lsb-first, no erased mask, 28 code bytes a step )"
         R"(and its marker bytes at 0 and 1)"},
        {R"({"vendor":"sunxi-boot0","strength":20})",
         R"(key "strength": a strength of 20 bits: the controller takes 16, 24, 28, 32, 40, 48, 56, 60 or 64 )"
         R"((--strength; --soc h6 for others))"},
        {"{" + base + R"(,"randomizer":false})",
         R"(key "soc", "usable_page", "fill_seed" or "randomizer": for the sunxi layouts)"},
        {"{" + base + "", "not a layout: '}' expected at byte 60"},
        {"[]", "not a layout: '{' expected at byte 0"},
        {"{" + base + "} {}", "not a layout: text after the object at byte 62"},
    };
    for (const auto &c : cases) {
        writeFile(at("bad.json"), c.json);
        const Result r = nandconv("build", {"--layout-file", "bad.json"}, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 2) << c.json;
        EXPECT_EQ(r.err, "nandconv: bad.json: " + c.err + "\n") << c.json;
        EXPECT_EQ(readFile(at("out.img")), "keep") << c.json;
    }
    const Result r = nandconv("check", {"--layout-file", "missing.json"}, {"input.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: missing.json: No such file or directory\n");
}

// The layouts that only data describes, injected with t flips a step and
// checked: every flip corrected, the fixed image the golden one; t + 1 flips
// are uncorrectable, never "corrected".
TEST_F(NandconvTest, DescribedLayoutsCorrectUpToT)
{
    const struct {
        std::string name;
        std::string t;
        std::string beyond;
    } cases[] = {{"linux-bch24-1k", "24", "25"}, {"bch16-lsb-4443", "16", "17"}, {"custom", "4", "5"},
                 {"interleaved", "8", "9"},          {"interleaved-hamming", "1", "2"}, {"protected", "8", "9"}};
    for (const auto &c : cases) {
        const Case *golden = nullptr;
        for (const Case &k : kCases) {
            golden = k.name == c.name ? &k : golden;
        }
        ASSERT_NE(golden, nullptr);
        const std::string image = readFile(kGolden + "/" + c.name + ".img");
        writeFile(at("golden.img"), image);
        Result r = nandconv("inject", golden->args, {"--seed", "9", "--bits", c.t, "golden.img", "flipped.img"});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        r = nandconv("check", golden->args, {"-q", "-f", "fixed.img", "flipped.img"});
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.out << r.err;
        EXPECT_NE(r.out.find(" 0 uncorrectable"), std::string::npos) << c.name << ": " << r.out;
        EXPECT_EQ(r.out.find(" 0 corrected"), std::string::npos) << c.name << ": " << r.out;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), image)) << c.name;

        r = nandconv("inject", golden->args, {"--seed", "9", "--bits", c.beyond, "golden.img", "flipped.img"});
        ASSERT_EQ(r.status, 0) << c.name;
        r = nandconv("check", golden->args, {"-q", "flipped.img"});
        EXPECT_EQ(r.status, 1) << c.name << ": " << r.out;
        EXPECT_EQ(r.out.find(" 0 uncorrectable"), std::string::npos) << c.name << ": " << r.out;
    }
}

// Dumps whose protected bytes hold a controller's data, not the free fill:
// they check clean and give the page data back; flips injected anywhere in a
// step, its protected bytes included, are corrected where injected.
TEST_F(NandconvTest, ProtectedBytesCorrectedLikeData)
{
    for (const std::string name : {"interleaved", "protected"}) {
        std::string stem = kGolden;
        stem += "/";
        stem += name;
        const std::vector<std::string> layout = {"--layout-file", stem + ".json"};
        const std::string dump = readFile(stem + "-dump.img");
        writeFile(at("dump.img"), dump);
        Result r = nandconv("check", layout, {"-o", "data.bin", "dump.img"});
        EXPECT_EQ(r.status, 0) << name << ": " << r.out << r.err;
        EXPECT_EQ(r.out, summary(5, 0, 20, 0, 0)) << name;
        std::string padded = input;
        padded.resize(std::size_t{5} * 2048, '\xFF');
        EXPECT_TRUE(sameBytes(readFile(at("data.bin")), padded)) << name;

        r = nandconv("inject", layout,
                     {"--seed", "3", "--bits", "8", "--manifest", "flips.jsonl", "dump.img", "flipped.img"});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        r = nandconv("check", layout, {"-q", "--expect", "flips.jsonl", "-f", "fixed.img", "flipped.img"});
        EXPECT_EQ(r.out, summary(5, 0, 0, 20, 0) + "manifest: 20 steps as injected, 0 differ\n") << name;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), dump)) << name;

        // A flip in a protected byte of page 1, step 2: OOB byte 2 + 2 * 2,
        // or the first byte after the step's data.
        const std::size_t byte = 2112 + (name == "protected" ? 2048 + 6 : 2 * 527 + 512);
        std::string flipped = dump;
        flipped[byte] = static_cast<char>(flipped[byte] ^ 0x10);
        writeFile(at("flipped.img"), flipped);
        r = nandconv("check", layout, {"--json", "-f", "fixed.img", "flipped.img"});
        EXPECT_EQ(r.status, 0) << name;
        const std::string bit = "\"bits\":[{\"raw_byte\":" + std::to_string(byte - 2112) + ",\"bit\":4}]";
        EXPECT_NE(r.out.find("{\"page\":1,\"step\":2,\"class\":\"corrected-bits\"," + bit + "}"), std::string::npos)
            << name << ": " << r.out;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), dump)) << name;
    }
}

// Eraseblocks of 4 pages on linux-bch8: a marker set in one page of block 1
// (bad or not, as Linux reads the marker pages), a zeroed factory-bad block 2,
// an erased block 3, a scrub-worthy step in block 0 (6 flips, 3/4 of t = 8),
// and half a block 4 at the end. Each case's report, status and all three --bb
// outputs, byte for byte.
TEST_F(NandconvTest, BadBlocksAsLinuxReadsThem)
{
    constexpr std::size_t kRecord = 2112;
    constexpr std::size_t kPages = 4;
    std::string data;
    for (std::size_t i = 0; i < std::size_t{18} * 2048; i++) {
        data += static_cast<char>((i * 7 + i / 2048) & 0xFF);
    }
    writeFile(at("data.bin"), data);
    const std::vector<std::string> layout = {"--layout", "linux-bch8", "--pages-per-block", "4"};
    ASSERT_EQ(nandconv("build", layout, {"data.bin", "clean.img"}).status, 0);
    std::string clean = readFile(at("clean.img"));
    ASSERT_EQ(clean.size(), 18 * kRecord);
    // Block 3 erased, block 2 zeroed.
    std::fill(clean.begin() + 12 * kRecord, clean.begin() + 16 * kRecord, '\xFF');
    std::fill(clean.begin() + 8 * kRecord, clean.begin() + 12 * kRecord, '\0');
    const struct {
        const char *markerPages;
        std::size_t page;  // of block 1 whose marker byte 0 is set
        bool bad;
    } cases[] = {{"first", 0, true},          {"first", 1, false},        {"first,second", 1, true},
                 {"first,second", 3, false}, {"last", 3, true},          {"last", 0, false}};
    for (const auto &c : cases) {
        std::string image = clean;
        image[(4 + c.page) * kRecord + 2048] = '\0';
        std::string fixed = image;  // as check corrects it
        for (const std::size_t bit : {8u, 100u, 1000u, 2000u, 3000u, 4000u}) {
            image[bit / 8] = static_cast<char>(image[bit / 8] ^ (1 << (bit % 8)));  // page 0, step 0
        }
        writeFile(at("image.img"), image);
        std::vector<std::string> args = layout;
        args.insert(args.end(), {"--bbm-pages", c.markerPages});
        const std::string where = std::string(c.markerPages) + " page " + std::to_string(c.page);

        Result r = nandconv("check", args, {"--per-block", "image.img"});
        EXPECT_EQ(r.status, 0) << where << ": " << r.err;  // bad blocks alone are no failure
        const std::string block1 = c.bad ? "block 1: bad\n" : "";
        // Steps: 15 clean in block 0, 16 in block 1 unless it is bad, 8 in
        // the half block; an erased page's are not counted.
        EXPECT_EQ(r.out, "page 0 step 0: corrected 6 bits\n"
                         "block 0: max 6 bitflips in a step, 1 corrected steps, 0 uncorrectable, 0 erased pages, "
                         "scrub\n" +
                             block1 + "block 2: bad\n18 pages, 4 erased, " + (c.bad ? "2 bad blocks" : "1 bad block") +
                             "; steps: " + std::to_string(c.bad ? 23 : 39) + " clean, 1 corrected, 0 uncorrectable\n")
            << where;

        r = nandconv("check", args, {"--json", "--per-block", "-q", "image.img"});
        EXPECT_NE(r.out.find("\"blocks\":[{\"block\":0,\"max_bitflips\":6,\"corrected\":1,\"uncorrectable\":0,"
                             "\"erased\":0,\"scrub\":true},"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("{\"block\":2,\"bad\":true},{\"block\":3,\"max_bitflips\":0,\"corrected\":0,"
                             "\"uncorrectable\":0,\"erased\":4,\"scrub\":false},{\"block\":4,\"max_bitflips\":0,"
                             "\"corrected\":0,\"uncorrectable\":0,\"erased\":0,\"scrub\":false,\"partial\":true}]"),
                  std::string::npos)
            << r.out;

        // -o and -f for each --bb: a bad block left out, written as 0xFF, or
        // as read.
        const auto pages = [&](const std::string &img, std::size_t from, std::size_t count, bool dataOnly) {
            std::string out;
            for (std::size_t p = from; p < from + count; p++) {
                out += img.substr(p * kRecord, dataOnly ? 2048 : kRecord);
            }
            return out;
        };
        for (const char *bb : {"skip", "pad", "keep"}) {
            r = nandconv("check", args, {"-q", "--bb", bb, "-o", "raw.out", "-f", "fixed.out", "image.img"});
            EXPECT_EQ(r.status, 0) << where << " " << bb;
            std::string raw;
            std::string whole;
            for (std::size_t block = 0; block < 5; block++) {
                const std::size_t count = block == 4 ? 2 : kPages;
                const bool isBad = block == 2 || (block == 1 && c.bad);
                const std::string &from = isBad ? image : fixed;
                if (isBad && std::string(bb) == "skip") {
                    continue;
                }
                if (isBad && std::string(bb) == "pad") {
                    raw += std::string(count * 2048, '\xFF');
                    whole += std::string(count * kRecord, '\xFF');
                    continue;
                }
                raw += pages(from, block * kPages, count, true);
                whole += pages(from, block * kPages, count, false);
            }
            EXPECT_TRUE(sameBytes(readFile(at("raw.out")), raw)) << where << " " << bb;
            EXPECT_TRUE(sameBytes(readFile(at("fixed.out")), whole)) << where << " " << bb;
        }
    }
}

// build --bad-blocks lays the data out for one chip as nandwrite writes it:
// the data skips the bad blocks, each written blank with its marker 0x00;
// --blocks pads to the chip, --pad-to-block to a whole block; data that does
// not fit is refused and nothing is written.
TEST_F(NandconvTest, BuildForAChipWithBadBlocks)
{
    constexpr std::size_t kRecord = 2112;
    const std::vector<std::string> layout = {"--layout", "linux-bch8", "--pages-per-block", "2"};
    ASSERT_EQ(nandconv("build", layout, {"input.bin", "plain.img"}).status, 0);
    const std::string plain = readFile(at("plain.img"));  // 5 pages
    std::string blank(kRecord, '\xFF');
    std::string marked = blank;
    marked[2048] = '\0';  // one byte, as Linux marks a block bad on a chip of 8-bit bus
    const std::string bad = marked + blank;

    Result r = nandconv("build", layout, {"--bad-blocks", "0,2-3", "--blocks", "7", "input.bin", "chip.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto pages = [&](std::size_t from, std::size_t count) { return plain.substr(from * kRecord, count * kRecord); };
    EXPECT_TRUE(sameBytes(readFile(at("chip.img")),
                          bad + pages(0, 2) + bad + bad + pages(2, 2) + pages(4, 1) + blank + blank + blank));
    r = nandconv("check", layout, {"-o", "data.bin", "chip.img"});
    // The input's third page is 0xFF: blank flash, like the 3 pages of padding.
    EXPECT_EQ(r.out, "block 0: bad\nblock 2: bad\nblock 3: bad\n"
                     "14 pages, 4 erased, 3 bad blocks; steps: 16 clean, 0 corrected, 0 uncorrectable\n");
    std::string expected = input;
    expected.resize(std::size_t{8} * 2048, '\xFF');
    EXPECT_TRUE(sameBytes(readFile(at("data.bin")), expected));

    r = nandconv("build", layout, {"--pad-to-block", "input.bin", "padded.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameBytes(readFile(at("padded.img")), plain + blank));

    writeFile(at("keep.img"), "keep");
    r = nandconv("build", layout, {"--bad-blocks", "1", "--blocks", "3", "input.bin", "keep.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: input.bin: 5 pages do not fit in the 2 good blocks of 3\n");
    EXPECT_EQ(readFile(at("keep.img")), "keep");
    // From a pipe the size is known only when the data overruns the chip.
    r = exec({"/bin/sh", "-c",
              "cat input.bin | " + std::string(NANDCONV_BIN) +
                  " build --layout linux-bch8 --pages-per-block 2 --bad-blocks 1 --blocks 3 - keep.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: standard input: does not fit in the 2 good blocks of 3\n");
    EXPECT_EQ(readFile(at("keep.img")), "keep");
    for (const auto &[list, why] : std::vector<std::pair<std::string, std::string>>{
             {"3,x", "--bad-blocks takes a list such as 3,7,100-102, not '3,x'"},
             {"5-2", "--bad-blocks takes a list such as 3,7,100-102, not '5-2'"},
             {"9", "bad block 9 is past the 3 blocks of --blocks"}}) {
        r = nandconv("build", layout, {"--bad-blocks", list, "--blocks", "3", "input.bin", "keep.img"});
        EXPECT_EQ(r.status, 2) << list;
        EXPECT_EQ(r.err, "nandconv: " + why + " (see nandconv build --help)\n") << list;
    }
}

// inject within pages or blocks, in one direction, and marking blocks bad as
// Linux does; check --expect knows the marked blocks and says where one
// reads good.
TEST_F(NandconvTest, InjectByBlockAndDirection)
{
    constexpr std::size_t kRecord = 2112;
    std::string data;
    for (std::size_t i = 0; i < std::size_t{32} * 2048; i++) {
        data += static_cast<char>((i * 13 + i / 512) & 0xFF);
    }
    writeFile(at("data.bin"), data);
    const std::vector<std::string> layout = {"--layout", "linux-bch8", "--pages-per-block", "4"};
    ASSERT_EQ(nandconv("build", layout, {"data.bin", "clean.img"}).status, 0);
    const std::string clean = readFile(at("clean.img"));
    // The flipped pages of a manifest, and whether every flipped bit read
    // `value` before.
    const auto flipped = [&](const std::string &manifest, int value) {
        std::set<std::size_t> pages;
        bool asAsked = true;
        std::istringstream lines(manifest);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"page\":") == std::string::npos) {
                continue;
            }
            const std::size_t page = std::stoul(line.substr(line.find("\"page\":") + 7));
            const std::size_t offset = std::stoul(line.substr(line.find("\"offset\":") + 9));
            const unsigned bit = static_cast<unsigned>(std::stoul(line.substr(line.find("\"bit\":") + 6)));
            pages.insert(page);
            asAsked = asAsked && (value < 0 || ((clean[page * kRecord + offset] >> bit) & 1) == value);
        }
        return std::make_pair(pages, asAsked);
    };
    const struct {
        std::vector<std::string> args;
        std::set<std::size_t> pages;
        int value;  // that every flipped bit had; -1 any
    } cases[] = {
        {{"--pages", "5-6"}, {5, 6}, -1},
        {{"--blocks", "7"}, {28, 29, 30, 31}, -1},
        {{"--blocks", "6-7", "--direction", "0to1"}, {24, 25, 26, 27, 28, 29, 30, 31}, 0},
        {{"--pages", "0-3", "--direction", "1to0", "--area", "data"}, {0, 1, 2, 3}, 1},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = layout;
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--seed", "4", "--bits", "5", "--manifest", "m.jsonl"});
        const Result r = nandconv("inject", args, {"clean.img", "flipped.img"});
        ASSERT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
        const auto [pages, asAsked] = flipped(readFile(at("m.jsonl")), c.value);
        EXPECT_EQ(pages, c.pages) << c.args[0] << " " << c.args[1];
        EXPECT_TRUE(asAsked) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(nandconv("check", layout, {"-q", "--expect", "m.jsonl", "flipped.img"}).status, 0) << c.args[1];
    }

    // Blocks marked bad: marker bytes 0x00 in the marker page, nothing else
    // changed, a manifest line each; check finds them bad, as injected.
    std::vector<std::string> args = layout;
    args.insert(args.end(), {"--bbm-pages", "last", "--seed", "4", "--bits", "2", "--mark-bad", "1,6",
                             "--manifest", "m.jsonl"});
    Result r = nandconv("inject", args, {"clean.img", "marked.img"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string manifest = readFile(at("m.jsonl"));
    EXPECT_NE(manifest.find("{\"block\":1,\"class\":\"bad-block\"}\n"), std::string::npos);
    EXPECT_NE(manifest.find("{\"block\":6,\"class\":\"bad-block\"}\n"), std::string::npos);
    EXPECT_EQ(flipped(manifest, -1).first.count(5), 0u);
    const std::string marked = readFile(at("marked.img"));
    for (const std::size_t page : {7u, 27u}) {
        EXPECT_EQ(marked.substr(page * kRecord + 2048, 2), std::string("\0\xFF", 2)) << page;
    }
    std::vector<std::string> last = layout;
    last.insert(last.end(), {"--bbm-pages", "last"});
    r = nandconv("check", last, {"--expect", "m.jsonl", "marked.img"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("page 3 step 3: corrected 2 bits\nblock 1: bad\npage 8 step 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nblock 6: bad\npage 28 step 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n32 pages, 0 erased, 2 bad blocks; steps: 0 clean, 96 corrected, 0 uncorrectable\n"
                         "manifest: 96 steps as injected, 0 differ\n"),
              std::string::npos)
        << r.out;
    // The same manifest against the image before marking: the blocks read good.
    r = nandconv("check", last, {"-q", "--expect", "m.jsonl", "clean.img"});
    EXPECT_EQ(r.status, 1);
    r = nandconv("check", last, {"--expect", "m.jsonl", "clean.img"});
    EXPECT_NE(r.out.find("block 1: marked bad in the manifest, reads good\n"), std::string::npos) << r.out;
}

// Input from standard input, image to standard output, for build and
// inject; the manifest may not share standard output with the image.
TEST_F(NandconvTest, StandardStreams)
{
    Result r = nandconv("build", {"--layout", "linux-hamming"}, {"-", "-"}, {cli::Stdout::File, "input.bin", false});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(r.out, readFile(kGolden + "/linux-hamming.img")));

    writeFile(at("img"), readFile(kGolden + "/linux-bch4.img"));
    const std::vector<std::string> inject = {"--layout", "linux-bch4", "--seed", "42", "--bits", "4"};
    r = nandconv("inject", inject, {"-", "-"}, {cli::Stdout::File, "img", false});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(r.out, readFile(kGolden + "/linux-bch4-inject.img")));

    r = nandconv("inject", inject, {"--manifest", "/dev/stdout", "img", "-"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nandconv: /dev/stdout: standard output takes one output only; not written\n");
}

// A dump with faults: one flipped data bit, one flipped ECC bit, two flips in
// one step, and blank flash with one flip, in text and in JSON; -o and -f
// undo what can be undone.
TEST_F(NandconvTest, CheckFindsAndCorrects)
{
    const std::string golden = readFile(kGolden + "/linux-hamming.img");
    const std::size_t rec = 2112;
    std::string image = golden;
    image[3 * 256 + 10] ^= 0x20;               // page 0 step 3: byte 778 bit 5
    image[rec + 2048 + 40 + 15 + 1] ^= 0x01;  // page 1 step 5: its ECC
    image[3 * rec + 100] ^= 0x01;                  // page 3 step 0: two bits
    image[3 * rec + 200] ^= 0x04;
    image[2 * rec + 7] ^= 0x08;                    // page 2 is blank flash
    writeFile(at("dump.img"), image);
    const std::vector<std::string> layout = {"--layout", "linux-hamming"};

    Result r = nandconv("check", layout, {"dump.img", "-o", "raw.out", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "page 0 step 3: corrected byte 778 bit 5\n"
                     "page 1 step 5: corrected ECC field\n"
                     "page 2: erased, 1 bitflip\n"
                     "page 3 step 0: uncorrectable\n" +
                         summary(5, 1, 29, 2, 1));
    std::string expectedFixed = golden;
    expectedFixed[3 * rec + 100] ^= 0x01;  // the uncorrectable step keeps its bytes
    expectedFixed[3 * rec + 200] ^= 0x04;
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), expectedFixed));
    std::string expectedRaw;
    for (std::size_t p = 0; p < 5; p++) {
        expectedRaw += expectedFixed.substr(p * rec, 2048);
    }
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), expectedRaw));

    r = nandconv("check", layout, {"--json", "dump.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "{\"layout\":{\"name\":\"linux-hamming\",\"page\":2048,\"oob\":64,\"step\":256,\"scheme\":\"hamming\",\"strength\":1,"
              "\"sm_order\":false,\"ecc_bytes_per_step\":3,\"ecc\":[{\"offset\":40,\"length\":24}],\"placement\":\"oob\","
              "\"bad_block_marker\":[0,1],\"free_fill\":255,\"pad_fill\":255,\"pages_per_block\":64,"
              "\"bad_block_pages\":\"first\"},\"findings\":["
              "{\"page\":0,\"step\":3,\"class\":\"corrected-data\",\"byte\":778,\"bit\":5},"
              "{\"page\":1,\"step\":5,\"class\":\"corrected-ecc-field\"},"
              "{\"page\":2,\"class\":\"erased-bitflips\",\"bitflips\":1},"
              "{\"page\":3,\"step\":0,\"class\":\"uncorrectable\"}],"
              "\"pages\":5,\"erased\":1,\"bad_blocks\":0,\"steps\":{\"clean\":29,\"corrected\":2,\"uncorrectable\":1},"
              "\"trailing_bytes\":0}\n");
}

// Blank flash under Linux's codes, where blank is a codeword: a step is
// decoded first, and an erased page is one whose steps all decode to 0xFF
// with at most the threshold of corrections, which defaults to the strength.
// A blank step in a page that is not erased is a correction like any other.
TEST_F(NandconvTest, BlankStepsOfLinuxCodes)
{
    const std::string golden = readFile(kGolden + "/linux-bch8.img");
    const std::size_t rec = 2112;
    std::string image = golden;
    for (const std::size_t byte : {std::size_t{515}, std::size_t{552}, std::size_t{553}}) {  // page 2 (blank) step 1: three flips
        image[2 * rec + byte] ^= 0x10;
    }
    writeFile(at("dump.img"), image);
    const std::vector<std::string> layout = {"--layout", "linux-bch8"};
    const struct {
        std::vector<std::string> options;
        std::string out;
    } cases[] = {
        {{}, "page 2: erased, 3 bitflips\n" + summary(5, 1, 16, 0, 0)},
        {{"--erased-threshold", "8"}, "page 2: erased, 3 bitflips\n" + summary(5, 1, 16, 0, 0)},
        {{"--erased-threshold", "2"}, "page 2 step 1: corrected 3 bits\n" + summary(5, 0, 19, 1, 0)},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"dump.img", "-f", "fixed.img"});
        const Result r = nandconv("check", layout, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), golden));
    }
}

// Injection: the model's manifest and image for a seed (the generator is
// documented, so golden/make_golden.py reproduces it); check corrects t flips
// a step exactly as injected, and t + 1 flips come out uncorrectable, never
// as a wrong correction.
TEST_F(NandconvTest, InjectAndExpect)
{
    const std::string golden = readFile(kGolden + "/linux-bch4.img");
    writeFile(at("img"), golden);
    const std::vector<std::string> layout = {"--layout", "linux-bch4"};
    Result r = nandconv("inject", layout,
                        {"--seed", "42", "--bits", "4", "--manifest", "m.jsonl", "--nandflipbits", "flips.txt", "img",
                         "out.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(readFile(at("out.img")), readFile(kGolden + "/linux-bch4-inject.img")));
    const std::string manifest = readFile(at("m.jsonl"));
    EXPECT_EQ(manifest, readFile(kGolden + "/linux-bch4-inject.jsonl"));
    // The same flips as bit@address lines, the address counting the OOB.
    EXPECT_EQ(readFile(at("flips.txt")).substr(0, 6), "1@384\n");

    r = nandconv("check", layout, {"-q", "--expect", "m.jsonl", "-o", "raw.out", "out.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, summary(5, 1, 0, 16, 0) + "manifest: 16 steps as injected, 0 differ\n");
    std::string padded = input;
    padded.resize(std::size_t{5} * 2048, '\xFF');
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded));

    // The manifest of another seed differs step by step.
    r = nandconv("inject", layout, {"--seed", "43", "--bits", "4", "img", "other.img"});
    EXPECT_EQ(r.status, 0);
    r = nandconv("check", layout, {"-q", "--expect", "m.jsonl", "other.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, summary(5, 1, 0, 16, 0) + "manifest: 0 steps as injected, 16 differ\n");

    r = nandconv("inject", layout, {"--seed", "42", "--bits", "5", "--manifest", "m5.jsonl", "img", "five.img"});
    EXPECT_EQ(r.status, 0);
    r = nandconv("check", layout, {"--expect", "m5.jsonl", "five.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("page 0 step 0: 5 bits injected, uncorrectable\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(summary(5, 1, 0, 0, 16) + "manifest: 0 steps as injected, 16 differ\n"), std::string::npos);
}

// The areas: every flip lands where asked, blank pages only with --erased,
// and a rate flips bits of the whole area.
TEST_F(NandconvTest, InjectAreas)
{
    writeFile(at("img"), readFile(kGolden + "/linux-bch4.img"));
    const std::vector<std::string> layout = {"--layout", "linux-bch4"};
    const struct {
        std::vector<std::string> args;
        std::size_t low, high;  // the record offsets flips may take
        bool blankToo;
    } cases[] = {
        {{"--bits", "3", "--area", "data"}, 0, 2047, false},
        {{"--bits", "3", "--area", "ecc"}, 2048 + 36, 2048 + 63, false},
        {{"--bits", "3", "--area", "oob", "--erased"}, 2048, 2111, true},
        {{"--ber", "0.01", "--area", "step"}, 0, 2111, false},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--seed", "5", "--manifest", "m.jsonl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"img", "out.img"});
        const Result r = nandconv("inject", layout, args);
        ASSERT_EQ(r.status, 0) << c.args[2] << r.err;
        std::istringstream lines(readFile(at("m.jsonl")));
        std::string line;
        std::size_t count = 0;
        bool blankHit = false;
        while (std::getline(lines, line)) {
            const std::size_t offset = std::stoul(line.substr(line.find("\"offset\":") + 9));
            const std::size_t page = std::stoul(line.substr(line.find("\"page\":") + 7));
            const unsigned bit = static_cast<unsigned>(std::stoul(line.substr(line.find("\"bit\":") + 6)));
            EXPECT_GE(offset, c.low) << line;
            EXPECT_LE(offset, c.high) << line;
            // The last code byte of a BCH-4 step keeps its 4 spare bits.
            const bool spare = offset >= 2048 + 36 && (offset - 2048 - 36) % 7 == 6 && bit < 4;
            EXPECT_TRUE(!spare || c.args[2] == "oob") << line;
            blankHit = blankHit || page == 2;
            count++;
        }
        EXPECT_EQ(blankHit, c.blankToo) << c.args[2];
        EXPECT_GT(count, 0u) << c.args[2];
    }
}

// A layout that does not match the image is caught: a 512-byte-step image
// read as 256-byte steps has uncorrectable steps. (Some come out "corrected":
// a field of FF FF FF over data of odd parity differs in every pair, which is
// the mark of one flipped bit; that is the code's nature, not a fault.)
TEST_F(NandconvTest, WrongLayoutIsCaught)
{
    writeFile(at("img"), readFile(kGolden + "/linux-hamming-512.img"));
    const Result r = nandconv("check", {"--layout", "linux-hamming"}, {"img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("page 0 step 0: uncorrectable\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(", 0 uncorrectable\n"), std::string::npos) << r.out;
}

// Linux places its Hamming code by the OOB size, whatever the preset: a
// 512+16 page takes the small-page layout, a 2048+64 page the large-page one.
TEST_F(NandconvTest, LinuxPlacesByOobSize)
{
    const struct {
        std::vector<std::string> args;
        std::string golden;
    } cases[] = {
        {{"--layout", "linux-hamming", "--page", "512", "--oob", "16"}, "linux-hamming-sp"},
        {{"--layout", "linux-hamming-sp", "--page", "2048", "--oob", "64"}, "linux-hamming"},
    };
    for (const auto &c : cases) {
        const Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.golden << r.err;
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), readFile(kGolden + "/" + c.golden + ".img"))) << c.golden;
    }
}

// Misuse and layouts that cannot work: one line, status 2, nothing written.
TEST_F(NandconvTest, Refusals)
{
    writeFile(at("out.img"), "keep");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "nandconv: no command given (see nandconv --help)\n"},
        {{"frob"}, "nandconv: unknown command 'frob' (see nandconv --help)\n"},
        {{"build", "--nope", "input.bin", "out.img"}, "nandconv: unknown option --nope (see nandconv build --help)\n"},
        {{"build", "input.bin"}, "nandconv: too few file names (see nandconv build --help)\n"},
        {{"build", "--page", "2kb", "input.bin", "out.img"},
         "nandconv: --page takes a number from 256 to 65536, not '2kb' (see nandconv build --help)\n"},
        {{"build", "--page", "0x10000k", "input.bin", "out.img"},
         "nandconv: --page takes a number from 256 to 65536, not '0x10000k' (see nandconv build --help)\n"},
        {{"build", "--page", "64k", "--oob", "0x1001", "input.bin", "out.img"},
         "nandconv: --oob takes a number from 1 to 4096, not '0x1001' (see nandconv build --help)\n"},
        {{"build", "--layout", "nope", "input.bin", "out.img"},
         "nandconv: no layout named 'nope'; `nandconv layouts` lists them (see nandconv build --help)\n"},
        {{"check", "--json=1", "out.img"}, "nandconv: option --json takes no argument (see nandconv check --help)\n"},
        {{"layouts", "extra"}, "nandconv: too many file names (see nandconv layouts --help)\n"},
        {{"build", "--layout", "linux-hamming", "--oob", "16", "input.bin", "out.img"},
         "nandconv: the ECC (20 bytes from OOB byte 6) runs past the 16-byte OOB\n"},
        {{"build", "--layout", "linux-hamming", "--ecc-offset", "0", "input.bin", "out.img"},
         "nandconv: the ECC (OOB bytes 0..23) covers the bad-block marker at OOB bytes 0..1\n"},
        {{"build", "--layout", "linux-hamming-sp", "--page", "600", "input.bin", "out.img"},
         "nandconv: a page of 600 bytes is not a whole number of 256-byte steps (at most 65536 bytes)\n"},
        {{"build", "--step", "256", "input.bin", "out.img"},
         "nandconv: the classic code covers 512-byte steps, not 256\n"},
        {{"build", "--layout", "linux-bch8", "--strength", "81", "input.bin", "out.img"},
         "nandconv: --strength takes a number from 1 to 80, not '81' (see nandconv build --help)\n"},
        {{"build", "--layout", "linux-bch8", "--strength", "17", "input.bin", "out.img"},
         "nandconv: the ECC (112 bytes from OOB byte 0) runs past the 64-byte OOB\n"},
        {{"build", "--layout", "linux-bch8", "--page", "3840", "--step", "960", "--m", "13", "--strength", "40", "input.bin",
          "out.img"},
         "nandconv: BCH over GF(2^13) takes a strength from 1 to 39 bits with 960-byte steps (--strength)\n"},
        {{"build", "--layout", "linux-bch8", "--step", "2k", "--m", "15", "--poly", "0x8005", "input.bin", "out.img"},
         "nandconv: 0x8005 is not a primitive polynomial of degree 15\n"},
        {{"build", "--layout", "linux-hamming", "--poly", "0x201b", "input.bin", "out.img"},
         "nandconv: the field, polynomial and bit order are for BCH\n"},
        {{"build", "--bit-order", "middle", "input.bin", "out.img"},
         "nandconv: --bit-order takes msb-first or lsb-first, not 'middle' (see nandconv build --help)\n"},
        {{"layouts", "--layout", "linux-bch8"},
         "nandconv: layout options print one layout, as JSON: give --json (see nandconv layouts --help)\n"},
        {{"build", "--layout", "linux-bch8", "--oob", "32", "input.bin", "out.img"},
         "nandconv: Linux's BCH takes large pages, an OOB of 64 bytes or more, not 32\n"},
        {{"build", "--ecc", "reed-solomon", "input.bin", "out.img"},
         "nandconv: --ecc takes classic, hamming, bch or none, not 'reed-solomon' (see nandconv build --help)\n"},
        {{"inject", "--bits", "4", "input.bin", "out.img"}, "nandconv: --seed is needed (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "input.bin", "out.img"},
         "nandconv: give one of --bits and --ber (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--ber", "2", "input.bin", "out.img"},
         "nandconv: --ber takes a probability from 0 to 1 (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "82", "input.bin", "out.img"},
         "nandconv: --bits takes a number from 1 to 81, not '82' (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "0", "input.bin", "out.img"},
         "nandconv: --bits takes a number from 1 to 81, not '0' (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "40", "--area", "ecc", "input.bin", "out.img"},
         "nandconv: --bits 40: the area holds 32 bits (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "1", "--manifest", "input.bin", "input.bin", "out.img"},
         "nandconv: input.bin: names the image or another output; not written\n"},
        {{"build", "input.bin", "input.bin"}, "nandconv: input.bin: names the input; not written\n"},
        {{"build", "missing.bin", "out.img"}, "nandconv: missing.bin: No such file or directory\n"},
        {{"check", "missing.img"}, "nandconv: missing.img: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {NANDCONV_BIN};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = exec(args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(at("out.img")), "keep") << c.err;
        EXPECT_EQ(readFile(at("input.bin")), input) << c.err;
    }
}

TEST_F(NandconvTest, HelpVersionAndLayouts)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"build", "--help"}, {"check", "-h"}, {"layouts", "--help"}}) {
        std::vector<std::string> argv = {NANDCONV_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = exec(argv);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage: nandconv ", 0), 0u) << args[0];
        EXPECT_EQ(r.err, "");
    }
    for (const std::string command : {"--version", "build", "check"}) {
        std::vector<std::string> argv = {NANDCONV_BIN, command};
        if (command != "--version") {
            argv.push_back("--version");
        }
        EXPECT_EQ(exec(argv).out, "nandconv " CONV_VERSION "\n") << command;
    }
    Result r = exec({NANDCONV_BIN, "layouts"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("linux-hamming-sp     512+16   256-byte steps, hamming 3 bytes each, ECC at OOB 0..3,6..7, "
                         "marker 5\n"),
              std::string::npos)
        << r.out;
    r = exec({NANDCONV_BIN, "layouts", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("{\"name\":\"linux-hamming-sp\",\"page\":512,\"oob\":16,\"step\":256,\"scheme\":\"hamming\",\"strength\":1,"
                         "\"sm_order\":false,\"ecc_bytes_per_step\":3,\"ecc\":[{\"offset\":0,\"length\":4},"
                         "{\"offset\":6,\"length\":2}],\"placement\":\"oob\",\"bad_block_marker\":[5],\"free_fill\":255,"
                         "\"pad_fill\":255,\"pages_per_block\":64,\"bad_block_pages\":\"first\"}"),
              std::string::npos)
        << r.out;
}

// The imx-gpmi layout: images built on every geometry of interest against
// the independent model's golden images (golden/make_gpmi.py), checked back
// with t and t + 1 flips per chunk, corrected and extracted, erased pages,
// and the geometries refused.

// The cases of golden/make_gpmi.py: name, options after --layout imx-gpmi,
// page, OOB, chunks, t.
struct GpmiCase {
    std::string name;
    std::vector<std::string> args;
    std::size_t page;
    std::size_t oob;
    std::size_t chunks;
    unsigned t;
};

// The marker falls on a byte boundary at 2048+64, 4096+224 and 8192+448, at
// bit 2 at 2048+128 and 4096+256; 8192+640 doubles the chunk over GF(2^14).
const GpmiCase kGpmiCases[] = {
    {"2048-64", {}, 2048, 64, 4, 8},
    {"4096-224", {"--page", "4096", "--oob", "224"}, 4096, 224, 8, 16},
    {"8192-448", {"--page", "8192", "--oob", "448"}, 8192, 448, 16, 16},
    {"2048-128", {"--oob", "128"}, 2048, 128, 4, 18},
    {"4096-256", {"--page", "4096", "--oob", "256"}, 4096, 256, 8, 18},
    {"8192-640", {"--page", "8192", "--oob", "640"}, 8192, 640, 8, 44},
    {"imx23", {"--soc", "imx23"}, 2048, 64, 4, 8},
    {"strength4", {"--strength", "4"}, 2048, 64, 4, 4},
};

// The imx-gpmi layout with the options of a case.
std::vector<std::string> gpmi(const std::vector<std::string> &options)
{
    std::vector<std::string> layout = {"--layout", "imx-gpmi"};
    layout.insert(layout.end(), options.begin(), options.end());
    return layout;
}

// Every geometry: the image is byte for byte the model's, checks clean, and
// -o gives the input back (the marker swap undone), padded to whole pages.
TEST_F(NandconvTest, GpmiGoldenImagesBuildAndCheckClean)
{
    for (const GpmiCase &c : kGpmiCases) {
        Result r = nandconv("build", gpmi(c.args), {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        const std::string golden = readFile(kGolden + "/gpmi-" + c.name + ".img");
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), golden)) << c.name;

        writeFile(at("golden.img"), golden);
        r = nandconv("check", gpmi(c.args), {"-o", "raw.out", "golden.img"});
        const std::size_t pages = golden.size() / (c.page + c.oob);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, summary(pages, 0, pages * c.chunks, 0, 0)) << c.name;
        const std::string padded = input + std::string(pages * c.page - input.size(), '\xFF');
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded)) << c.name;
    }
}

// The model's flips: t in every chunk of page 0 (among them a metadata bit,
// and code bits off byte boundaries), t + 1 in chunk 1 of page 1. Page 0 is
// corrected in -f and -o, page 1's chunk 1 is uncorrectable and left as read.
TEST_F(NandconvTest, GpmiFlipsCorrectedUpToStrength)
{
    for (const GpmiCase &c : kGpmiCases) {
        const std::string golden = readFile(kGolden + "/gpmi-" + c.name + ".img");
        const std::string flipped = readFile(kGolden + "/gpmi-" + c.name + "-flips.img");
        writeFile(at("flipped.img"), flipped);
        const Result r = nandconv("check", gpmi(c.args), {"-o", "raw.out", "-f", "fixed.img", "flipped.img"});
        const std::size_t record = c.page + c.oob;
        const std::size_t pages = golden.size() / record;
        std::string expected;
        for (std::size_t k = 0; k < c.chunks; k++) {
            expected += "page 0 step " + std::to_string(k) + ": corrected " + std::to_string(c.t) + " bits\n";
        }
        expected += "page 1 step 1: uncorrectable\n";
        expected += summary(pages, 0, pages * c.chunks - c.chunks - 1, c.chunks, 1);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, expected) << c.name;
        const std::string fixed = readFile(at("fixed.img"));
        EXPECT_TRUE(sameBytes(fixed.substr(0, record), golden.substr(0, record))) << c.name;
        EXPECT_TRUE(sameBytes(fixed.substr(record), flipped.substr(record))) << c.name;
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")).substr(0, c.page), input.substr(0, c.page))) << c.name;
    }
}

// Corrected bits by place in --json: data bits by page-data byte, the
// metadata and code bits by raw byte and bit (make_gpmi.py's flips of chunk 0
// at 2048+64: metadata bit 5, code bits 3, 53 and 103 of ECC 0 at raw bit
// 80 + 4096).
TEST_F(NandconvTest, GpmiJsonNamesPackedBits)
{
    writeFile(at("flipped.img"), readFile(kGolden + "/gpmi-2048-64-flips.img"));
    const Result r = nandconv("check", gpmi({}), {"--json", "flipped.img"});
    EXPECT_EQ(r.status, 1);
    const std::string chunk0 = R"({"page":0,"step":0,"class":"corrected-bits","bits":[{"byte":0,"bit":7},)"
                               R"({"byte":57,"bit":6},{"byte":114,"bit":5},{"byte":171,"bit":4},)"
                               R"({"raw_byte":0,"bit":5},{"raw_byte":522,"bit":3},{"raw_byte":528,"bit":5},)"
                               R"({"raw_byte":534,"bit":7}]})";
    EXPECT_NE(r.out.find(chunk0), std::string::npos) << r.out;
}

// inject draws on the packed bits and check corrects exactly those: t flips
// a chunk all as injected, t + 1 never corrected.
TEST_F(NandconvTest, GpmiInjectedFlipsRoundTrip)
{
    for (const GpmiCase &c : kGpmiCases) {
        writeFile(at("golden.img"), readFile(kGolden + "/gpmi-" + c.name + ".img"));
        const std::string t = std::to_string(c.t);
        Result r = nandconv("inject", gpmi(c.args), {"--seed", "5", "--bits", t, "--manifest", "m.jsonl", "golden.img", "x.img"});
        ASSERT_EQ(r.status, 0) << c.name << r.err;
        r = nandconv("check", gpmi(c.args), {"-q", "--expect", "m.jsonl", "-f", "fixed.img", "x.img"});
        EXPECT_EQ(r.status, 0) << c.name << r.out;
        EXPECT_NE(r.out.find(" 0 differ"), std::string::npos) << c.name << r.out;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), readFile(at("golden.img")))) << c.name;
        r = nandconv("inject", gpmi(c.args), {"--seed", "5", "--bits", std::to_string(c.t + 1), "golden.img", "x.img"});
        ASSERT_EQ(r.status, 0) << c.name << r.err;
        r = nandconv("check", gpmi(c.args), {"-q", "x.img"});
        const std::size_t pages = readFile(at("golden.img")).size() / (c.page + c.oob);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, summary(pages, 0, 0, 0, pages * c.chunks)) << c.name;
    }
    // A byte shared by two chunks: at 2048+128 ECC 0 ends at raw bit
    // 80 + 4096 + 18 * 13 = 4410, so bits 0 and 1 of raw byte 551 are chunk
    // 0's code and bit 3 is chunk 1's data bit 1.
    std::string image = readFile(kGolden + "/gpmi-2048-128.img");
    image[551] = static_cast<char>(image[551] ^ 0x09);
    writeFile(at("x.img"), image);
    writeFile(at("m.jsonl"), "{\"page\":0,\"step\":0,\"offset\":551,\"bit\":0}\n"
                             "{\"page\":0,\"step\":1,\"offset\":551,\"bit\":3}\n");
    const Result r = nandconv("check", gpmi({"--oob", "128"}), {"--expect", "m.jsonl", "x.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("manifest: 2 steps as injected, 0 differ"), std::string::npos) << r.out;
}

// Blank flash: a chunk with at most t zero bits (the metadata counted with
// chunk 0) reads as erased, one with t + 1 is uncorrectable.
TEST_F(NandconvTest, GpmiErasedChunks)
{
    constexpr std::size_t kRecord = 2048 + 64;
    constexpr unsigned kT = 8;
    std::string image(2 * kRecord, '\xFF');
    // Page 0: t zero bits in chunk 0, two of them in the metadata.
    image[0] = '\xFE';
    image[9] = '\x7F';
    for (std::size_t i = 0; i < kT - 2; i++) {
        image[100 + i] = '\xEF';
    }
    // Page 1: t + 1 in chunk 2.
    for (std::size_t i = 0; i < kT + 1; i++) {
        image[kRecord + 1200 + i] = '\xFB';
    }
    writeFile(at("blank.img"), image);
    const Result r = nandconv("check", gpmi({}), {"-o", "raw.out", "-f", "fixed.img", "blank.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "page 0: erased, 8 bitflips\npage 1 step 2: uncorrectable\n" + summary(2, 1, 3, 0, 1)) << r.out;
    const std::string raw = readFile(at("raw.out"));
    EXPECT_EQ(raw.substr(0, 2048), std::string(2048, '\xFF'));
    EXPECT_EQ(readFile(at("fixed.img")).substr(0, kRecord), std::string(kRecord, '\xFF'));
}

// Geometries and options that cannot work: one line, status 2, the output
// untouched.
TEST_F(NandconvTest, GpmiRefusals)
{
    writeFile(at("out.img"), "keep");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--page", "16384", "--oob", "1280"},
         "nandconv: a strength of 90 bits is above the imx6sx's maximum of 62 (--soc, --strength)\n"},
        {{"--page", "8192", "--oob", "640", "--soc", "imx6q"},
         "nandconv: a strength of 44 bits is above the imx6q's maximum of 40 (--soc, --strength)\n"},
        {{"--soc", "imx28", "--strength", "22"},
         "nandconv: a strength of 22 bits is above the imx28's maximum of 20 (--soc, --strength)\n"},
        {{"--strength", "5"},
         "nandconv: a strength of 5 bits: the BCH engine takes even strengths from 2 (--strength)\n"},
        {{"--strength", "10"},
         "nandconv: a strength of 10 bits needs 2123 bytes, more than the 2112 of page and OOB\n"},
        {{"--page", "512", "--oob", "600"},
         "nandconv: a page of 512 bytes is no whole number of 1024-byte chunks (the chunk for a 600-byte OOB)\n"},
        {{"--poly", "0x201d"}, "nandconv: 0x201d is not a primitive polynomial of degree 13\n"},
        {{"--step", "1024"},
         "nandconv: imx-gpmi takes its chunks, code and places from the page and OOB sizes: --step, --ecc-offset, "
         "--sm-order, --ecc, --m and --bit-order do not apply\n"},
    };
    for (const auto &c : cases) {
        const Result r = nandconv("build", gpmi(c.args), {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(at("out.img")), "keep") << c.err;
    }
    Result r = exec({NANDCONV_BIN, "build", "--layout", "linux-bch8", "--soc", "imx28", "input.bin", "out.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: --soc is for the imx-gpmi layout\n");
    r = nandconv("build", gpmi({"--soc", "imx7"}), {"input.bin", "out.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "nandconv: --soc takes imx23, imx28, imx6q, imx6sx, a10 or h6, not 'imx7' (see nandconv build --help)");
    EXPECT_EQ(readFile(at("out.img")), "keep");
}

// --poly changes the GF(2^14) polynomial, which has no published value: the
// image changes and checks clean under the same option only.
TEST_F(NandconvTest, GpmiPolyChangesTheLargeField)
{
    const std::vector<std::string> layout = {"--page", "8192", "--oob", "640", "--poly", "0x4443"};
    ASSERT_EQ(nandconv("build", gpmi(layout), {"input.bin", "out.img"}).status, 0);
    EXPECT_NE(readFile(at("out.img")), readFile(kGolden + "/gpmi-8192-640.img"));
    EXPECT_EQ(nandconv("check", gpmi(layout), {"-q", "out.img"}).status, 0);
    EXPECT_EQ(nandconv("check", gpmi({"--page", "8192", "--oob", "640"}), {"-q", "out.img"}).status, 1);
}

// build --meta gives each page's metadata (the model's golden image at
// 2048+128, the marker at bit 2: metadata byte 0 lands on the marker), and
// check --oob-data gives it back, corrected, while -o still gives the input.
// A file of the wrong size, an output that names the image, or a layout
// without metadata, is refused before the output is touched.
TEST_F(NandconvTest, GpmiMetadataRoundTrip)
{
    constexpr std::size_t kPages = 5;  // of input.bin at 2048 bytes a page
    constexpr std::size_t kMetadataBytes = 10;
    writeFile(at("meta.bin"), readFile(kGolden + "/gpmi-meta.bin"));
    Result r = nandconv("build", gpmi({"--oob", "128"}), {"--meta", "meta.bin", "input.bin", "out.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string golden = readFile(kGolden + "/gpmi-meta.img");
    EXPECT_TRUE(sameBytes(readFile(at("out.img")), golden));
    r = nandconv("check", gpmi({"--oob", "128"}), {"-q", "-o", "raw.out", "--oob-data", "oob.out", "out.img"});
    EXPECT_EQ(r.status, 0);
    const std::string padded = input + std::string(kPages * 2048 - input.size(), '\xFF');
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded));
    EXPECT_TRUE(sameBytes(readFile(at("oob.out")), readFile(kGolden + "/gpmi-meta.bin")));
    // A flipped metadata bit comes back corrected.
    writeFile(at("flipped.img"), readFile(kGolden + "/gpmi-2048-64-flips.img"));
    r = nandconv("check", gpmi({}), {"-q", "--oob-data", "oob.out", "flipped.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(at("oob.out")), std::string(kPages * kMetadataBytes, '\xFF'));

    writeFile(at("out.img"), "keep");
    writeFile(at("short.bin"), readFile(kGolden + "/gpmi-meta.bin").substr(10));
    r = nandconv("build", gpmi({"--oob", "128"}), {"--meta", "short.bin", "input.bin", "out.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: short.bin: metadata for 4 pages; the input has 5\n");
    writeFile(at("odd.bin"), "123");
    r = nandconv("build", gpmi({}), {"--meta", "odd.bin", "input.bin", "out.img"});
    EXPECT_EQ(r.err, "nandconv: odd.bin: 3 bytes: not 10 metadata bytes a page\n");
    r = nandconv("build", {"--layout", "linux-bch8"}, {"--meta", "meta.bin", "input.bin", "out.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "nandconv: --meta is for the imx-gpmi layout (see nandconv build --help)");
    EXPECT_EQ(readFile(at("out.img")), "keep");
    r = nandconv("check", gpmi({}), {"--oob-data", "flipped.img", "flipped.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: flipped.img: names an input of the check; not written\n");
    r = nandconv("check", {"--layout", "linux-bch8"}, {"--oob-data", "out.img", "flipped.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(readFile(at("out.img")), "keep");
}

}  // namespace

// The sunxi layouts: images built against the independent model's golden
// images (golden/make_sunxi.py, which checks its randomizer against Linux's
// tables), checked back with t and t + 1 flips a step, extracted, blank
// steps, and the options refused. U-Boot's builder cannot run here: boot0
// is checked against the model written from its documented behaviour.

// The cases of golden/make_sunxi.py: name, layout and options, the flash
// page, OOB, the data of a page, steps, t.
struct SunxiCase {
    std::string name;
    std::vector<std::string> args;
    std::size_t page;
    std::size_t oob;
    std::size_t data;
    std::size_t steps;
    unsigned t;
};

const SunxiCase kSunxiCases[] = {
    {"2048-64", {"--layout", "sunxi"}, 2048, 64, 2048, 2, 16},
    // 49 code bytes and a spare one
    {"4096-224-t28", {"--layout", "sunxi", "--page", "4096", "--oob", "224", "--strength", "28"}, 4096, 224, 4096, 4,
     28},
    {"step512", {"--layout", "sunxi", "--oob", "128", "--step", "512"}, 2048, 128, 2048, 4, 16},
    {"plain", {"--layout", "sunxi", "--no-randomizer"}, 2048, 64, 2048, 2, 16},
    // seeds 0, 1, 0, 1, 0
    {"ppb2", {"--layout", "sunxi", "--pages-per-block", "2"}, 2048, 64, 2048, 2, 16},
    {"boot0", {"--layout", "sunxi-boot0"}, 2048, 64, 1024, 1, 64},
    {"boot0-8192", {"--layout", "sunxi-boot0", "--page", "8192", "--oob", "640", "--strength", "40", "--seed", "7"},
     8192, 640, 4096, 4, 40},
    {"boot0-512-t28", {"--layout", "sunxi-boot0", "--step", "512", "--strength", "28"}, 2048, 64, 1024, 2, 28},
    {"boot0-plain", {"--layout", "sunxi-boot0", "--no-randomizer"}, 2048, 64, 1024, 1, 64},
    // the newer controllers' strongest code (1113 code bits in 140 bytes),
    // and one of a byte of spare bits and a spare byte after its 959 bits
    {"h6-t80", {"--layout", "sunxi", "--soc", "h6", "--page", "4096", "--oob", "640", "--strength", "80"}, 4096, 640,
     4096, 4, 80},
    {"h6-t69", {"--layout", "sunxi", "--soc", "h6", "--oob", "256", "--strength", "69"}, 2048, 256, 2048, 2, 69},
};

// The options of a case for commands other than build (--seed is build's).
std::vector<std::string> readOptions(const SunxiCase &c)
{
    std::vector<std::string> args;
    for (std::size_t i = 0; i < c.args.size(); i++) {
        if (c.args[i] == "--seed") {
            i++;
        } else {
            args.push_back(c.args[i]);
        }
    }
    return args;
}

// The pages of input.bin, and those all 0xFF, which boot0 leaves blank.
std::size_t blankPages(const std::string &input, std::size_t data)
{
    std::size_t blank = 0;
    for (std::size_t at = 0; at + data <= input.size(); at += data) {
        if (input.substr(at, data) == std::string(data, '\xFF')) {
            blank++;
        }
    }
    return blank;
}

// Every case: the image is byte for byte the model's, checks clean, and -o
// gives the input back (de-scrambled; boot0's fill after it).
TEST_F(NandconvTest, SunxiGoldenImagesBuildAndCheckClean)
{
    for (const SunxiCase &c : kSunxiCases) {
        Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        const std::string golden = readFile(kGolden + "/sunxi-" + c.name + ".img");
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), golden)) << c.name;

        writeFile(at("golden.img"), golden);
        r = nandconv("check", readOptions(c), {"-o", "raw.out", "golden.img"});
        const std::size_t pages = golden.size() / (c.page + c.oob);
        const bool boot0 = c.data != c.page;
        const std::size_t erased = boot0 ? blankPages(input, c.data) : 0;
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, summary(pages, erased, (pages - erased) * c.steps, 0, 0)) << c.name;
        const std::string raw = readFile(at("raw.out"));
        ASSERT_EQ(raw.size(), pages * c.data) << c.name;
        EXPECT_TRUE(sameBytes(raw.substr(0, input.size()), input)) << c.name;
        if (!boot0 || c.name == "boot0-plain") {
            EXPECT_EQ(raw.substr(input.size()), std::string(raw.size() - input.size(), '\xFF')) << c.name;
        }
    }
}

// The model's flips: t in every step of page 0 (data, user and code bits),
// t + 1 in the last step of page 1. Page 0 is corrected in -f and -o, page
// 1's last step is uncorrectable and left as read.
TEST_F(NandconvTest, SunxiFlipsCorrectedUpToStrength)
{
    for (const SunxiCase &c : kSunxiCases) {
        const std::string golden = readFile(kGolden + "/sunxi-" + c.name + ".img");
        const std::string flipped = readFile(kGolden + "/sunxi-" + c.name + "-flips.img");
        writeFile(at("flipped.img"), flipped);
        const Result r = nandconv("check", readOptions(c), {"-o", "raw.out", "-f", "fixed.img", "flipped.img"});
        const std::size_t record = c.page + c.oob;
        const std::size_t pages = golden.size() / record;
        const std::size_t erased = c.data != c.page ? blankPages(input, c.data) : 0;
        std::string expected;
        for (std::size_t k = 0; k < c.steps; k++) {
            expected += "page 0 step " + std::to_string(k) + ": corrected " + std::to_string(c.t) + " bits\n";
        }
        expected += "page 1 step " + std::to_string(c.steps - 1) + ": uncorrectable\n";
        expected += summary(pages, erased, (pages - erased) * c.steps - c.steps - 1, c.steps, 1);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, expected) << c.name;
        const std::string fixed = readFile(at("fixed.img"));
        EXPECT_TRUE(sameBytes(fixed.substr(0, record), golden.substr(0, record))) << c.name;
        EXPECT_TRUE(sameBytes(fixed.substr(record), flipped.substr(record))) << c.name;
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")).substr(0, c.data), input.substr(0, c.data))) << c.name;
    }
}

// inject draws on the data, user and code bits and check corrects exactly
// those: t flips a step all as injected, t + 1 never corrected. --soc h6
// strengths make codes of part bytes (t = 18: 252 bits) and spare bytes; the
// strongest, t = 80, is taken by Linux's BCH layouts too, over GF(2^13) and
// (2 KiB steps) GF(2^15).
TEST_F(NandconvTest, SunxiInjectedFlipsRoundTrip)
{
    const struct {
        std::vector<std::string> layout;
        unsigned t;
    } cases[] = {
        {{"--layout", "sunxi"}, 16},
        {{"--layout", "sunxi", "--page", "4096", "--oob", "224", "--strength", "28"}, 28},
        {{"--layout", "sunxi", "--oob", "128", "--soc", "h6", "--strength", "18"}, 18},
        {{"--layout", "sunxi", "--oob", "128", "--soc", "h6", "--strength", "20", "--no-randomizer"}, 20},
        {{"--layout", "sunxi-boot0", "--step", "512", "--strength", "28"}, 28},
        {{"--layout", "sunxi", "--soc", "h6", "--page", "4096", "--oob", "640", "--strength", "80"}, 80},
        {{"--layout", "linux-bch8", "--oob", "640", "--strength", "80"}, 80},
        {{"--layout", "linux-bch8", "--page", "4096", "--oob", "320", "--step", "2048", "--strength", "80"}, 80},
    };
    for (const auto &[layout, t] : cases) {
        const std::string name = layout[1] + " t=" + std::to_string(t);
        ASSERT_EQ(nandconv("build", layout, {"input.bin", "golden.img"}).status, 0) << name;
        Result r = nandconv("inject", layout,
                            {"--seed", "5", "--bits", std::to_string(t), "--manifest", "m.jsonl", "golden.img", "x.img"});
        ASSERT_EQ(r.status, 0) << name << r.err;
        r = nandconv("check", layout, {"-q", "--expect", "m.jsonl", "-f", "fixed.img", "x.img"});
        EXPECT_EQ(r.status, 0) << name << r.out;
        EXPECT_NE(r.out.find(" 0 differ"), std::string::npos) << name << r.out;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), readFile(at("golden.img")))) << name;
        r = nandconv("inject", layout,
                     {"--seed", "5", "--bits", std::to_string(t + 1), "golden.img", "x.img"});
        ASSERT_EQ(r.status, 0) << name << r.err;
        r = nandconv("check", layout, {"-q", "x.img"});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.out.find(" 0 corrected, "), std::string::npos) << name << r.out;
        EXPECT_EQ(r.out.find(" 0 uncorrectable"), std::string::npos) << name << r.out;
    }
}

// The builder sets raw bytes `page` and `page + 1` blank after the codes:
// where the usable part reaches them (4096 + 224 using all 4096 bytes, 4
// steps of 1056 bytes), they are step 3's data, which check corrects.
TEST_F(NandconvTest, SunxiBoot0MarkerFallsInData)
{
    const std::vector<std::string> layout = {"--layout", "sunxi-boot0", "--page", "4096", "--oob", "224",
                                             "--usable-page", "4096", "--strength", "16"};
    ASSERT_EQ(nandconv("build", layout, {"input.bin", "out.img"}).status, 0);
    const std::string image = readFile(at("out.img"));
    EXPECT_TRUE(sameBytes(image, readFile(kGolden + "/sunxi-boot0-marker.img")));
    EXPECT_EQ(image.substr(4096, 2), "\xFF\xFF");
    const Result r = nandconv("check", layout, {"-o", "raw.out", "out.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("3 pages, 0 erased; steps: 9 clean, 3 corrected, 0 uncorrectable"), std::string::npos)
        << r.out;
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")).substr(0, input.size()), input));
}

// Known answers from U-Boot's sunxi-spl-image-builder -b (golden/make_builder.sh
// has the command lines): our options for the same page, its geometry, and
// the summary `check` gives of the builder's image.
struct BuilderCase {
    std::string name;
    std::vector<std::string> args;
    std::size_t page;
    std::size_t oob;
    std::size_t usable;
    std::size_t step;
    unsigned t;
    bool fill;  // -s: the builder's random fill
    std::string summary;
};

// A step's 4 user bytes and its code bytes: 14 t bits made a whole, even
// number of bytes.
constexpr std::size_t kUserBytes = 4;
constexpr std::size_t kFieldBits = 14;
constexpr std::size_t codeBytes(unsigned t)
{
    const std::size_t n = (kFieldBits * t + 7) / 8;
    return n + n % 2;
}

const BuilderCase kBuilderCases[] = {
    {"builder-boot0", {"--layout", "sunxi-boot0"}, 2048, 64, 1024, 1024, 64, true, summary(9, 2, 7, 0, 0)},
    // The marker bytes in step 3's data, corrected by check on every page.
    {"builder-boot0-4096-u4096",
     {"--layout", "sunxi-boot0", "--page", "4096", "--oob", "224", "--usable-page", "4096", "--strength", "16"},
     4096, 224, 4096, 1024, 16, true, summary(3, 0, 9, 3, 0)},
    {"builder-boot0-8192-plain",
     {"--layout", "sunxi-boot0", "--page", "8192", "--oob", "640", "--strength", "40", "--step", "512",
      "--no-randomizer"},
     8192, 640, 4096, 512, 40, false, summary(3, 0, 24, 0, 0)},
    {"builder-boot0-16384", {"--layout", "sunxi-boot0", "--page", "16384", "--oob", "1280"}, 16384, 1280, 8192, 1024,
     64, true, summary(2, 0, 16, 0, 0)},
};

// The image bytes that hold the builder's fill or depend on it, in its
// pages that are not blank input: the tail after the last step and, in a
// short last page, the padding of each short step and that step's code.
// The marker bytes (raw `page`, `page + 1`) are 0xFF whatever the fill.
std::vector<bool> builderFill(const BuilderCase &c, const std::string &input)
{
    const std::size_t record = c.page + c.oob;
    const std::size_t code = codeBytes(c.t);
    const std::size_t perStep = c.step + kUserBytes + code;
    const std::size_t steps = c.usable / c.step;
    const std::size_t pages = (input.size() + c.usable - 1) / c.usable;
    std::vector<bool> fill(pages * record, false);
    for (std::size_t p = 0; p < pages && c.fill; p++) {
        const std::string data = input.substr(p * c.usable, c.usable);
        if (data == std::string(data.size(), '\xFF')) {
            continue;
        }
        const std::size_t base = p * record;
        for (std::size_t i = steps * perStep; i < record; i++) {
            fill[base + i] = true;
        }
        for (std::size_t k = 0; k < steps; k++) {
            const std::size_t have = data.size() > k * c.step ? data.size() - k * c.step : 0;
            if (have >= c.step) {
                continue;
            }
            for (std::size_t i = have; i < c.step; i++) {
                fill[base + k * perStep + i] = true;
            }
            for (std::size_t i = c.step + kUserBytes; i < perStep; i++) {
                fill[base + k * perStep + i] = true;
            }
        }
        fill[base + c.page] = fill[base + c.page + 1] = false;
    }
    return fill;
}

// Our build equals the builder's image in every byte outside its fill (the
// whole image without -s), check finds the builder's image clean (bar the
// marker bytes it writes over step data) and -o gives the input back.
TEST_F(NandconvTest, BuilderBoot0ImagesMatchOutsideTheFill)
{
    for (const BuilderCase &c : kBuilderCases) {
        const std::string golden = readFile(kGolden + "/" + c.name + ".img");
        Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        ASSERT_EQ(r.status, 0) << c.name << r.err;
        const std::string ours = readFile(at("out.img"));
        ASSERT_EQ(ours.size(), golden.size()) << c.name;
        const std::vector<bool> fill = builderFill(c, input);
        std::size_t compared = 0;
        std::size_t differ = 0;
        std::size_t first = ours.size();
        for (std::size_t i = 0; i < ours.size(); i++) {
            if (!fill[i]) {
                compared++;
                if (ours[i] != golden[i]) {
                    differ++;
                    first = std::min(first, i);
                }
            }
        }
        EXPECT_EQ(differ, 0u) << c.name << ": first at byte " << first;
        // The fill never covers the input's own bytes.
        EXPECT_GT(compared, input.size()) << c.name;
        if (!c.fill) {
            EXPECT_EQ(compared, ours.size()) << c.name;
        }

        writeFile(at("builder.img"), golden);
        r = nandconv("check", c.args, {"-o", "raw.out", "builder.img"});
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_TRUE(r.out.ends_with(c.summary)) << c.name << r.out;
        const std::string raw = readFile(at("raw.out"));
        ASSERT_GE(raw.size(), input.size()) << c.name;
        EXPECT_TRUE(sameBytes(raw.substr(0, input.size()), input)) << c.name;
        if (!c.fill) {
            EXPECT_EQ(raw.substr(input.size()), std::string(raw.size() - input.size(), '\xFF')) << c.name;
        }
    }
}

// Blank flash, counted before de-scrambling as the driver counts it: a step
// with at most t zero bits (data, user bytes and code) is erased and reads as
// 0xFF, not as the stream; one with t + 1 is uncorrectable.
TEST_F(NandconvTest, SunxiErasedSteps)
{
    constexpr std::size_t kRecord = 2048 + 64;
    constexpr unsigned kT = 16;
    std::string image(2 * kRecord, '\xFF');
    // Page 0: t zero bits in step 0, two of them in its user bytes and code.
    image[2048 + 2] = '\xFE';
    image[2048 + 31] = '\x7F';
    for (std::size_t i = 0; i < kT - 2; i++) {
        image[100 + i] = '\xEF';
    }
    // Page 1: t + 1 in step 1.
    for (std::size_t i = 0; i < kT + 1; i++) {
        image[kRecord + 1200 + i] = '\xFB';
    }
    writeFile(at("blank.img"), image);
    const Result r = nandconv("check", {"--layout", "sunxi"}, {"-o", "raw.out", "-f", "fixed.img", "blank.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "page 0: erased, 16 bitflips\npage 1 step 1: uncorrectable\n" + summary(2, 1, 1, 0, 1)) << r.out;
    const std::string raw = readFile(at("raw.out"));
    EXPECT_EQ(raw.substr(0, 2048 + 1024), std::string(2048 + 1024, '\xFF'));
    EXPECT_EQ(readFile(at("fixed.img")).substr(0, kRecord), std::string(kRecord, '\xFF'));
}

// Geometries and options that cannot work: one line, status 2, the output
// untouched.
TEST_F(NandconvTest, SunxiRefusals)
{
    writeFile(at("out.img"), "keep");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--layout", "sunxi", "--strength", "20"},
         "nandconv: a strength of 20 bits: the controller takes 16, 24, 28, 32, 40, 48, 56, 60 or 64 (--strength; "
         "--soc h6 for others)"},
        {{"--layout", "sunxi", "--soc", "h6", "--strength", "12"},
         "nandconv: a strength of 12 bits: the h6 controller takes 16 to 80 (--strength)"},
        {{"--layout", "sunxi", "--strength", "24"},
         "nandconv: strength 24 needs 92 OOB bytes (4 user and 42 code bytes a step), more than 64"},
        {{"--layout", "sunxi", "--step", "2048"},
         "nandconv: steps of 2048 bytes: the controller takes 512 or 1024 (--step)"},
        {{"--layout", "sunxi", "--usable-page", "1024"}, "nandconv: --usable-page and --seed are for sunxi-boot0"},
        {{"--layout", "sunxi", "--ecc", "hamming"},
         "nandconv: sunxi takes its code and places from the controller: --ecc-offset, --sm-order, --ecc, --m, "
         "--bit-order and the imx-gpmi SoCs do not apply"},
        {{"--layout", "linux-bch8", "--no-randomizer"},
         "nandconv: --soc h6|a10, --no-randomizer, --usable-page and --seed are for the sunxi layouts"},
        {{"--layout", "sunxi-boot0", "--usable-page", "4096"},
         "nandconv: 4096 usable bytes with strength 64 need 4560 bytes, more than the 2112 of page and OOB: choose "
         "a weaker code"},
        {{"--layout", "sunxi-boot0", "--usable-page", "1536"},
         "nandconv: a usable page of 1536 bytes is no whole number of 1024-byte steps (--usable-page)"},
        {{"--layout", "sunxi-boot0", "--page", "1024", "--oob", "2048", "--usable-page", "2048"},
         "nandconv: a usable page of 2048 bytes is larger than the 1024-byte page (--usable-page)"},
        {{"--layout", "sunxi", "--bad-blocks", "1"},
         "nandconv: --bad-blocks moves pages onto other pages' randomizer seeds: not for sunxi with its randomizer (see nandconv build --help)"},
        {{"--layout", "sunxi-boot0", "--seed", "x"}, "nandconv: --seed takes a number from 0 to 2^64-1 (see nandconv build --help)"},
    };
    for (const auto &c : cases) {
        const Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.err);
        EXPECT_EQ(readFile(at("out.img")), "keep") << c.err;
    }
}

// An input of many reads: boot0's records are larger than a page and its OOB
// (2112 bytes for 1024 of data), and the build's reads must hold them; the
// image checks clean and -o gives the input back.
TEST_F(NandconvTest, SunxiBoot0ManyReadsRoundTrip)
{
    constexpr std::size_t kBytes = std::size_t{3} << 20;
    constexpr std::uint32_t kMultiplier = 1103515245;  // a linear congruential generator's
    constexpr std::uint32_t kIncrement = 12345;
    constexpr unsigned kHighByte = 24;
    std::string big(kBytes, '\0');
    std::uint32_t x = 1;
    for (char &b : big) {
        x = x * kMultiplier + kIncrement;
        b = static_cast<char>(x >> kHighByte);
    }
    writeFile(at("big.bin"), big);
    const std::vector<std::string> layout = {"--layout", "sunxi-boot0"};
    Result r = nandconv("build", layout, {"-q", "big.bin", "big.img"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = nandconv("check", layout, {"-o", "big.out", "big.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(kBytes / 1024, 0, kBytes / 1024, 0, 0));
    EXPECT_TRUE(sameBytes(readFile(at("big.out")), big));
}

// Inputs of several of the build's blocks (128 pages of 2048), whose pages
// the reading thread and the writing one share: every page gets the code,
// randomizer seed and metadata of its own index. sunxi seeds by the page's
// place in its eraseblock; imx-gpmi takes each page's metadata from --meta.
TEST_F(NandconvTest, ManyBlocksBuildWithEachPagesOwnIndex)
{
    constexpr std::size_t kPages = 300;
    constexpr std::size_t kMetadataBytes = 10;
    constexpr std::uint32_t kMultiplier = 1103515245;  // a linear congruential generator's
    constexpr std::uint32_t kIncrement = 12345;
    constexpr unsigned kHighByte = 24;
    std::string data(kPages * 2048 + kPages * kMetadataBytes, '\0');
    std::uint32_t x = 7;
    for (char &b : data) {
        x = x * kMultiplier + kIncrement;
        b = static_cast<char>(x >> kHighByte);
    }
    const std::string pages = data.substr(0, kPages * 2048);
    std::string meta = data.substr(kPages * 2048);
    for (std::size_t p = 0; p < kPages; p++) {
        meta[p * kMetadataBytes] = '\xFF';  // metadata byte 0 is the bad-block marker's
    }
    writeFile(at("many.bin"), pages);
    writeFile(at("meta.bin"), meta);
    const struct {
        std::vector<std::string> layout;
        std::vector<std::string> build;  // options of build alone
        std::size_t steps;
    } cases[] = {
        {{"--layout", "sunxi"}, {}, 2},
        {{"--layout", "sunxi", "--pages-per-block", "256"}, {}, 2},
        {{"--layout", "imx-gpmi"}, {"--meta", "meta.bin"}, 4},
        {{"--layout", "linux-bch8"}, {}, 4},
    };
    for (const auto &c : cases) {
        std::vector<std::string> rest = c.build;
        rest.insert(rest.end(), {"-q", "many.bin", "many.img"});
        Result r = nandconv("build", c.layout, rest);
        ASSERT_EQ(r.status, 0) << c.layout[1] << r.err;
        rest = {"-o", "many.out", "many.img"};
        const bool gpmi = c.layout[1] == "imx-gpmi";
        if (gpmi) {
            rest.insert(rest.begin(), {"--oob-data", "oob.out"});
        }
        r = nandconv("check", c.layout, rest);
        EXPECT_EQ(r.status, 0) << c.layout[1];
        EXPECT_EQ(r.out, summary(kPages, 0, kPages * c.steps, 0, 0)) << c.layout[1];
        EXPECT_TRUE(sameBytes(readFile(at("many.out")), pages)) << c.layout[1];
        if (gpmi) {
            EXPECT_TRUE(sameBytes(readFile(at("oob.out")), meta));
        }
    }
}

// inject --area oob flips the flash page's OOB: for boot0 the bytes after
// the whole page, not after its usable part.
TEST_F(NandconvTest, SunxiBoot0OobIsAfterTheFlashPage)
{
    constexpr std::size_t kPage = 2048;
    constexpr std::size_t kRecord = kPage + 64;
    const std::string golden = readFile(kGolden + "/sunxi-boot0.img");
    writeFile(at("golden.img"), golden);
    const Result r = nandconv("inject", {"--layout", "sunxi-boot0"},
                              {"--area", "oob", "--seed", "3", "--bits", "4", "golden.img", "x.img"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string x = readFile(at("x.img"));
    ASSERT_EQ(x.size(), golden.size());
    std::size_t flipped = 0;
    for (std::size_t i = 0; i < x.size(); i++) {
        if (x[i] != golden[i]) {
            flipped++;
            EXPECT_GE(i % kRecord, kPage) << i;
        }
    }
    EXPECT_GT(flipped, 0u);
}
