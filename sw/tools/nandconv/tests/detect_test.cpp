// nandconv detect as a user runs it: dumps made by `nandconv build` (and
// `inject` for flips and bad blocks) in every preset and in layout files,
// with blank pages and data of several kinds; detect must name the layout
// they were made with (its code and places, key for key), a layout that
// builds the same bytes from the same data, and one that `check` finds
// clean. Dumps that hold no layout give status 1.
#include "cli.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using cli::readFile;
using cli::Result;
using cli::writeFile;

const std::string kGolden = GOLDEN_DIR;

enum class Data { Random, Text, Zero };

// Pages of one kind of data, a share of them blank (0xFF) as erased flash
// reads; the same for a seed on every run.
std::string pages(Data kind, unsigned page, std::size_t count, unsigned blankPercent, unsigned seed)
{
    std::mt19937 rng(seed);
    static const char *const kWords[] = {"nand ", "flash ", "spare ", "area ", "block ", "page ", "the ", "of "};
    std::string out;
    for (std::size_t i = 0; i < count; i++) {
        if (rng() % 100 < blankPercent) {
            out.append(page, '\xFF');
            continue;
        }
        std::string p;
        while (p.size() < page) {
            switch (kind) {
            case Data::Random:
                p.push_back(static_cast<char>(rng()));
                break;
            case Data::Text:
                p += kWords[rng() % 8];
                break;
            case Data::Zero:
                p.push_back('\0');
                break;
            }
        }
        p.resize(page);
        out += p;
    }
    return out;
}

struct Case {
    std::string name;
    std::vector<std::string> layout;  // options of build, layouts --json and check
    Data data;
    unsigned page;
    unsigned blankPercent;
    std::vector<std::string> detect;  // more options of detect
};

const Case kCases[] = {
    {"classic", {"--layout", "classic"}, Data::Random, 2048, 0, {}},
    {"linux-hamming", {"--layout", "linux-hamming"}, Data::Text, 2048, 50, {}},
    {"linux-hamming-sm", {"--layout", "linux-hamming", "--sm-order"}, Data::Random, 2048, 0, {}},
    {"linux-hamming-512", {"--layout", "linux-hamming-512"}, Data::Random, 2048, 90, {}},
    {"linux-hamming-sp", {"--layout", "linux-hamming-sp"}, Data::Text, 512, 30, {}},
    {"linux-bch4", {"--layout", "linux-bch4"}, Data::Zero, 2048, 50, {}},
    {"linux-bch8", {"--layout", "linux-bch8"}, Data::Random, 2048, 90, {}},
    {"linux-bch8-4k", {"--layout", "linux-bch8-4k"}, Data::Text, 4096, 50, {}},
    // Pages of 2048 bytes, half of them blank: half-blank 4096-byte pages.
    {"linux-bch24-1k", {"--layout", "linux-bch24-1k"}, Data::Random, 2048, 50, {}},
    {"bch8-16k", {"--layout", "linux-bch8", "--page", "16k", "--oob", "1280"}, Data::Random, 16384, 90, {}},
    {"bch16-lsb-4443",
     {"--layout", "linux-bch8", "--step", "1k", "--m", "14", "--poly", "0x4443", "--strength", "16", "--bit-order",
      "lsb-first"},
     Data::Text, 2048, 20, {}},
    {"bch12-m15-8003", {"--layout", "linux-bch8", "--step", "2k", "--m", "15", "--strength", "12"}, Data::Random,
     4096, 0, {}},
    // Not a polynomial detect knows: only --exhaustive finds it.
    {"bch12-6263-exhaustive", {"--layout", "linux-bch8", "--step", "1k", "--m", "14", "--poly", "0x6263",
                               "--strength", "12"},
     Data::Random, 2048, 50, {"--exhaustive"}},
    {"offset", {"--layout", "linux-hamming-512", "--ecc-offset", "2"}, Data::Random, 2048, 0, {}},
    {"custom-xor-ranges", {"--layout-file", kGolden + "/custom.json"}, Data::Text, 2048, 0, {}},
    {"interleaved", {"--layout-file", kGolden + "/interleaved.json"}, Data::Random, 2048, 50, {}},
    {"interleaved-hamming", {"--layout-file", kGolden + "/interleaved-hamming.json"}, Data::Text, 2048, 0, {}},
    {"protected", {"--layout-file", kGolden + "/protected.json"}, Data::Random, 2048, 0, {}},
    // A controller's own layouts, found by trying their presets.
    {"imx-gpmi", {"--layout", "imx-gpmi"}, Data::Random, 2048, 50, {}},
    {"imx-gpmi-4k", {"--layout", "imx-gpmi", "--page", "4096", "--oob", "224"}, Data::Text, 4096, 0, {}},
    {"sunxi", {"--layout", "sunxi"}, Data::Random, 2048, 50, {}},
    {"sunxi-boot0", {"--layout", "sunxi-boot0"}, Data::Text, 2048, 0, {}},
};

// The keys that say what the code is and where its bytes are; the rest (the
// name, the marker, blocks) a dump cannot show or any value of serves.
const char *const kCodeKeys[] = {"page",    "oob",       "step",   "scheme",          "strength",
                                 "sm_order", "m",        "poly",   "bit_order",       "ecc_bytes_per_step",
                                 "ecc",     "placement", "prepad", "postpad",         "protect_prepad",
                                 "protected_per_step", "vendor", "soc"};

// The text of a key's value in a one-line JSON object, or "" without it.
std::string value(const std::string &json, const std::string &key)
{
    const std::string name = "\"" + key + "\":";
    const std::size_t at = json.find(name);
    if (at == std::string::npos) {
        return "";
    }
    std::size_t end = at + name.size();
    int depth = 0;
    for (; end < json.size(); end++) {
        const char c = json[end];
        if (c == '[' || c == '{') {
            depth++;
        } else if (c == ']' || c == '}') {
            if (depth == 0) {
                break;
            }
            depth--;
        } else if (c == ',' && depth == 0) {
            break;
        }
    }
    return json.substr(at + name.size(), end - at - name.size());
}

class DetectTest : public cli::ToolTest {
protected:
    Result nandconv(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {NANDCONV_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return exec(argv);
    }

    static std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string> &b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

// Every case: detect names the layout's code and places, and its layout
// builds the dump again byte for byte and checks it clean.
TEST_F(DetectTest, FindsTheLayoutADumpWasBuiltWith)
{
    unsigned seed = 1;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        writeFile(at("in.bin"), pages(c.data, c.page, 256, c.blankPercent, seed++));
        ASSERT_EQ(nandconv(join(join({"build"}, c.layout), {"in.bin", "dump.img"})).status, 0);
        const Result d = nandconv(join(join({"detect"}, c.detect), {"dump.img"}));
        ASSERT_EQ(d.status, 0) << d.err;
        EXPECT_NE(d.err.find("nandconv: detect: found: "), std::string::npos) << d.err;
        const Result used = nandconv(join(join({"layouts", "--json"}, c.layout), {}));
        ASSERT_EQ(used.status, 0);
        for (const char *key : kCodeKeys) {
            EXPECT_EQ(value(d.out, key), value(used.out, key)) << key << "\n" << d.out << used.out;
        }
        writeFile(at("found.json"), d.out);
        ASSERT_EQ(nandconv({"build", "--layout-file", "found.json", "in.bin", "again.img"}).status, 0);
        EXPECT_TRUE(cli::sameBytes(readFile(at("again.img")), readFile(at("dump.img"))));
        const Result check = nandconv({"check", "--layout-file", "found.json", "-q", "dump.img"});
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_NE(check.out.find(" 0 corrected, 0 uncorrectable"), std::string::npos) << check.out;
    }
}

// The independent model's dumps of a controller's layouts, whose protected
// bytes hold the controller's own bytes (golden/make_golden.py): detect
// names the layout file they were made with, key for key.
TEST_F(DetectTest, FindsTheLayoutsOfTheModelsDumps)
{
    for (const std::string name : {"protected", "interleaved"}) {
        SCOPED_TRACE(name);
        std::string base = kGolden;
        base += "/";
        base += name;
        const std::string dump = base + "-dump.img";
        const Result d = nandconv({"detect", dump});
        ASSERT_EQ(d.status, 0) << d.err;
        const Result used = nandconv({"layouts", "--json", "--layout-file", base + ".json"});
        for (const char *key : kCodeKeys) {
            EXPECT_EQ(value(d.out, key), value(used.out, key)) << key << "\n" << d.out << used.out;
        }
        EXPECT_EQ(value(d.out, "protected"), value(used.out, "protected"));
        writeFile(at("found.json"), d.out);
        const Result check = nandconv({"check", "--layout-file", "found.json", "-q", dump});
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_NE(check.out.find(" 0 corrected, 0 uncorrectable"), std::string::npos) << check.out;
    }
}

// Flipped bits and a bad block: the layout is still found, and check reads
// the dump with it exactly as with the layout it was made with. Sparse flips
// leave steps clean; with one flip in every step, BCH is found from steps
// with one error.
TEST_F(DetectTest, FindsTheLayoutThroughFlipsAndBadBlocks)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"linux-bch8", {"--ber", "0.00005"}},
        {"linux-hamming", {"--ber", "0.00005"}},
        {"linux-bch8", {"--bits", "1"}},
        {"linux-bch24-1k", {"--bits", "1"}},
    };
    for (const auto &[layout, flips] : cases) {
        SCOPED_TRACE(layout + " " + flips[0]);
        writeFile(at("in.bin"), pages(Data::Text, 2048, 256, 50, 7));
        ASSERT_EQ(nandconv({"build", "--layout", layout, "in.bin", "clean.img"}).status, 0);
        ASSERT_EQ(nandconv(join(join({"inject", "--layout", layout, "--seed", "3", "--mark-bad", "1"}, flips),
                                {"clean.img", "dump.img"}))
                      .status,
                  0);
        const Result d = nandconv({"detect", "dump.img"});
        ASSERT_EQ(d.status, 0) << d.err;
        const Result used = nandconv({"layouts", "--json", "--layout", layout});
        for (const char *key : kCodeKeys) {
            EXPECT_EQ(value(d.out, key), value(used.out, key)) << key;
        }
        writeFile(at("found.json"), d.out);
        const Result check = nandconv({"check", "--layout-file", "found.json", "dump.img"});
        const Result expected = nandconv({"check", "--layout", layout, "dump.img"});
        EXPECT_EQ(check.status, expected.status);
        EXPECT_EQ(check.out, expected.out);
        EXPECT_NE(check.out.find(" 1 bad block"), std::string::npos) << check.out;
        EXPECT_EQ(check.out.find(" 0 corrected,"), std::string::npos) << check.out;
    }
}

// The JSON document: the layout, and the evidence under "evidence".
TEST_F(DetectTest, JsonHoldsTheLayoutAndItsEvidence)
{
    writeFile(at("in.bin"), pages(Data::Random, 2048, 128, 50, 11));
    ASSERT_EQ(nandconv({"build", "--layout", "linux-bch4", "in.bin", "dump.img"}).status, 0);
    const Result d = nandconv({"detect", "--json", "--page", "2048", "--oob", "64", "dump.img"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.out.rfind("{\"status\":0,\"layout\":{\"name\":\"detected\",\"page\":2048,\"oob\":64,", 0), 0u) << d.out;
    const std::string evidence = value(d.out, "evidence");
    EXPECT_NE(evidence.find("\"records_sampled\":128,"), std::string::npos) << evidence;
    EXPECT_EQ(value(evidence, "geometry"), "{\"page\":2048,\"oob\":64}");
    const std::string best = value(evidence, "candidates");
    EXPECT_NE(best.find("\"uncorrectable\":0}"), std::string::npos) << best;
    EXPECT_EQ(value(best, "strength"), "4");
    // Blank records are counted as such, never as steps.
    const std::size_t blank = std::stoul(value(evidence, "blank_records"));
    EXPECT_GT(blank, 30u);
    EXPECT_LT(blank, 100u);
    EXPECT_EQ(std::stoul(value(best, "clean")), (128 - blank) * 4);
}

// No layout in the dump: status 1, nothing on standard output to mistake for
// a layout file, and the reason on standard error.
TEST_F(DetectTest, NothingConvincingIsStatusOne)
{
    writeFile(at("random.img"), cli::randomBytes(cli::kRecord * 256, 5));
    writeFile(at("blank.img"), std::string(cli::kRecord * 256, '\xFF'));
    for (const std::string dump : {"random.img", "blank.img"}) {
        SCOPED_TRACE(dump);
        const Result d = nandconv({"detect", dump});
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.out, "");
        EXPECT_NE(d.err.find("nandconv: detect: nothing convincing: "), std::string::npos) << d.err;
        const Result j = nandconv({"detect", "--json", dump});
        EXPECT_EQ(j.status, 1);
        EXPECT_EQ(j.out.rfind("{\"status\":1,\"layout\":null,", 0), 0u) << j.out;
        EXPECT_NE(value(j.out, "missing"), "");
    }
}

// Trouble: misuse and unreadable dumps are status 2 with one line.
TEST_F(DetectTest, TroubleIsStatusTwo)
{
    writeFile(at("empty.img"), "");
    const std::vector<std::vector<std::string>> cases = {
        {"detect"},
        {"detect", "a", "b"},
        {"detect", "--page", "12x", "empty.img"},
        {"detect", "--oob", "0", "empty.img"},
        {"detect", "--bogus", "empty.img"},
        {"detect", "missing.img"},
        {"detect", "empty.img"},
        {"detect", "."},
    };
    for (const auto &args : cases) {
        const Result r = nandconv(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(r.err.rfind("nandconv: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const Result help = nandconv({"detect", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nandconv detect ", 0), 0u);
}

}  // namespace
