// The Python module nandconv: the engine's layouts, build, check and inject
// on any buffer, and Linux's BCH code with the interface Python users know.
// Every call works on its own objects (a Layout holds its codec; a check its
// results), so threads may call it at once; long calls release the GIL.
#include "bch.h"
#include "inject.h"
#include "layout.h"
#include "record.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace py = pybind11;

namespace {

// A read-only view of any object with the buffer protocol, without a copy.
struct Bytes {
    py::buffer_info info;
    const std::uint8_t *data;
    std::size_t size;

    explicit Bytes(const py::buffer &b) : info(b.request()), data(static_cast<const std::uint8_t *>(info.ptr))
    {
        if (info.ndim > 1 && !(info.strides.empty() || info.strides.back() == info.itemsize)) {
            throw py::value_error("a contiguous buffer is needed");
        }
        size = static_cast<std::size_t>(info.size) * static_cast<std::size_t>(info.itemsize);
    }
};

py::bytes toBytes(const std::vector<std::uint8_t> &v)
{
    return {reinterpret_cast<const char *>(v.data()), v.size()};
}

// ---- layouts ----

struct Layout {
    nand::Layout layout{};
    std::shared_ptr<nand::Codec> codec;  // large: on the heap, shared by copies

    std::string json() const
    {
        char buf[nand::kMaxLayoutJson];
        return {buf, nand::describeJson(layout, buf, sizeof buf)};
    }
};

long numberOption(const py::kwargs &options, const char *name, long fallback)
{
    return options.contains(name) ? options[name].cast<long>() : fallback;
}

// A layout from a preset, a file or JSON text, with the options the CLI
// takes as keyword arguments (page, oob, step, ecc_offset, sm_order, ecc,
// strength, m, poly, bit_order, pages_per_block, bbm_pages, soc, randomizer,
// usable_page, fill_seed).
Layout makeLayout(const py::object &name, const py::object &file, const py::object &json, const py::kwargs &options)
{
    char why[300] = "";
    nand::Layout base{};
    const int given = (name.is_none() ? 0 : 1) + (file.is_none() ? 0 : 1) + (json.is_none() ? 0 : 1);
    if (given > 1) {
        throw py::value_error("give one of name, file and json");
    }
    if (!file.is_none()) {
        const auto path = file.cast<std::string>();
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        close(fd);
        if (!nand::readLayoutFile(path.c_str(), &base, why, sizeof why)) {
            throw py::value_error(path + ": " + why);
        }
    } else if (!json.is_none()) {
        const auto text = json.cast<std::string>();
        if (!nand::layoutFromJson(text.data(), text.size(), &base, why, sizeof why)) {
            throw py::value_error(why);
        }
    } else {
        const std::string preset = name.is_none() ? std::string("classic") : name.cast<std::string>();
        const nand::Layout *p = nand::findPreset(preset.c_str());
        if (p == nullptr) {
            throw py::value_error("no layout named '" + preset + "'; nandconv.layouts() lists them");
        }
        base = *p;
    }
    static const char *const kKnown[] = {"page", "oob", "step", "ecc_offset", "sm_order", "ecc", "strength",
                                         "m", "poly", "bit_order", "pages_per_block", "bbm_pages", "soc",
                                         "randomizer", "usable_page", "fill_seed"};
    for (const auto &item : options) {
        const auto key = item.first.cast<std::string>();
        bool known = false;
        for (const char *k : kKnown) {
            known = known || key == k;
        }
        if (!known) {
            throw py::type_error("Layout() got an unexpected keyword argument '" + key + "'");
        }
    }
    nand::LayoutChanges c;
    c.pageSize = numberOption(options, "page", -1);
    c.oobSize = numberOption(options, "oob", -1);
    c.stepSize = numberOption(options, "step", -1);
    c.eccOffset = numberOption(options, "ecc_offset", -1);
    c.smOrder = options.contains("sm_order") && options["sm_order"].cast<bool>();
    c.strength = numberOption(options, "strength", -1);
    c.m = numberOption(options, "m", -1);
    c.poly = numberOption(options, "poly", -1);
    c.pagesPerBlock = numberOption(options, "pages_per_block", -1);
    if (options.contains("ecc")) {
        nand::Scheme scheme{};
        const auto text = options["ecc"].cast<std::string>();
        if (!nand::schemeByName(text.c_str(), &scheme)) {
            throw py::value_error("ecc takes classic, hamming, bch or none, not '" + text + "'");
        }
        c.scheme = static_cast<int>(scheme);
    }
    if (options.contains("bit_order")) {
        const auto text = options["bit_order"].cast<std::string>();
        if (text != "msb-first" && text != "lsb-first") {
            throw py::value_error("bit_order takes msb-first or lsb-first, not '" + text + "'");
        }
        c.lsbFirst = text == "lsb-first" ? 1 : 0;
    }
    if (options.contains("bbm_pages")) {
        nand::MarkerPages pages{};
        const auto text = options["bbm_pages"].cast<std::string>();
        if (!nand::markerPagesByName(text.c_str(), &pages)) {
            throw py::value_error("bbm_pages takes first, first,second or last, not '" + text + "'");
        }
        c.markerPages = static_cast<int>(pages);
    }
    if (options.contains("soc")) {
        nand::gpmi::Soc soc{};
        nand::sunxi::Soc sunxiSoc{};
        const auto text = options["soc"].cast<std::string>();
        if (nand::sunxi::socByName(text.c_str(), &sunxiSoc)) {
            c.sunxiSoc = static_cast<int>(sunxiSoc);
        } else if (nand::gpmi::socByName(text.c_str(), &soc)) {
            c.soc = static_cast<int>(soc);
        } else {
            throw py::value_error("soc takes imx23, imx28, imx6q, imx6sx, a10 or h6, not '" + text + "'");
        }
    }
    if (options.contains("randomizer")) {
        c.randomizer = options["randomizer"].cast<bool>() ? 1 : 0;
    }
    c.usablePage = numberOption(options, "usable_page", -1);
    if (options.contains("fill_seed")) {
        c.fillSeedGiven = true;
        c.fillSeed = options["fill_seed"].cast<std::uint64_t>();
    }
    Layout l;
    if (!nand::makeLayout(base, c, &l.layout, why, sizeof why)) {
        throw py::value_error(why);
    }
    l.codec = std::make_shared<nand::Codec>();
    nand::makeCodec(l.layout, l.codec.get());
    return l;
}

py::bytes build(const Layout &l, const py::buffer &input, bool keepErased)
{
    const Bytes in(input);
    const nand::Codec &c = *l.codec;
    const std::size_t page = c.layout.pageSize;
    const std::size_t pages = (in.size + page - 1) / page;
    std::vector<std::uint8_t> out(pages * c.recordSize);
    {
        const py::gil_scoped_release release;
        for (std::size_t p = 0; p < pages; p++) {
            std::uint8_t *record = out.data() + p * c.recordSize;
            const std::size_t n = std::min(page, in.size - p * page);
            std::memcpy(record, in.data + p * page, n);
            std::memset(record + n, c.layout.padFill, page - n);
            nand::encodeRecordWithMeta(c, record, nullptr, keepErased, p, n);
        }
    }
    return toBytes(out);
}

// ---- check ----

struct CheckResult {
    py::list findings;
    std::uint64_t pages = 0;
    std::uint64_t erased = 0;
    std::uint64_t badBlocks = 0;
    std::uint64_t clean = 0;
    std::uint64_t corrected = 0;
    std::uint64_t uncorrectable = 0;
    std::uint64_t trailing = 0;
    py::object data;   // bytes, or None when not asked for
    py::object fixed;
};

// A finding as the CLI's JSON has it.
struct Finding {
    std::uint64_t page;
    long step;  // -1: a whole page, or a block
    const char *cls;
    std::vector<std::pair<std::string, unsigned>> bits;  // corrected-bits: key, offset; bit below
    std::vector<unsigned> bitOf;
    unsigned byte = 0;
    unsigned bit = 0;
    unsigned flips = 0;
    std::uint64_t block = 0;
};

py::dict findingDict(const Finding &f)
{
    py::dict d;
    if (std::strcmp(f.cls, "bad-block") == 0) {
        d["block"] = f.block;
        d["class"] = f.cls;
        d["page"] = f.page;
        return d;
    }
    d["page"] = f.page;
    if (f.step >= 0) {
        d["step"] = f.step;
    }
    d["class"] = f.cls;
    if (std::strcmp(f.cls, "corrected-data") == 0) {
        d["byte"] = f.byte;
        d["bit"] = f.bit;
    } else if (std::strcmp(f.cls, "corrected-bits") == 0) {
        py::list bits;
        for (std::size_t i = 0; i < f.bits.size(); i++) {
            py::dict b;
            b[f.bits[i].first.c_str()] = f.bits[i].second;
            b["bit"] = f.bitOf[i];
            bits.append(b);
        }
        d["bits"] = bits;
    } else if (std::strcmp(f.cls, "erased-bitflips") == 0) {
        d["bitflips"] = f.flips;
    }
    return d;
}

// A bytes object of n bytes to fill, or none.
py::object newBytes(bool wanted, std::size_t n)
{
    if (!wanted) {
        return py::none();
    }
    PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (b == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(b);
}

std::uint8_t *bytesOf(const py::object &b)
{
    return b.is_none() ? nullptr : reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(b.ptr()));
}

// Shortens a bytes object filled to n bytes.
void shorten(py::object *b, std::size_t n)
{
    if (b->is_none() || static_cast<std::size_t>(PyBytes_GET_SIZE(b->ptr())) == n) {
        return;
    }
    PyObject *raw = b->release().ptr();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(n)) != 0) {
        throw py::error_already_set();
    }
    *b = py::reinterpret_steal<py::object>(raw);
}

// As nandconv check: the image is only read; a record that is not clean is
// checked in a scratch copy. The page data (as -o) and the repaired image (as
// -f) are written straight into the bytes objects returned, unless not wanted.
CheckResult check(const Layout &l, const py::buffer &image, long erasedThreshold, const std::string &bb,
                  bool wantData, bool wantFixed)
{
    if (bb != "skip" && bb != "pad" && bb != "keep") {
        throw py::value_error("bb takes skip, pad or keep, not '" + bb + "'");
    }
    const Bytes in(image);
    const nand::Codec &c = *l.codec;
    const unsigned threshold =
        erasedThreshold >= 0 ? static_cast<unsigned>(erasedThreshold) : nand::strength(c.layout);
    const std::size_t records = in.size / c.recordSize;
    const std::size_t blockPages = c.layout.pagesPerBlock > 1 ? c.layout.pagesPerBlock : 1;
    const std::size_t page = c.layout.pageSize;
    py::object data = newBytes(wantData, records * page);
    py::object fixed = newBytes(wantFixed, in.size);
    std::uint8_t *dataOut = bytesOf(data);
    std::uint8_t *fixedOut = bytesOf(fixed);
    std::size_t dataLen = 0;
    std::size_t fixedLen = 0;
    std::vector<Finding> found;
    CheckResult r;
    {
        const py::gil_scoped_release release;
        auto result = std::make_unique<nand::RecordResult>();
        std::vector<std::uint8_t> scratch(c.recordSize);
        const std::uint32_t dataBits = c.layout.stepSize * 8;
        const auto messageBits = static_cast<std::uint32_t>(dataBits + c.protBytes * 8);
        for (std::size_t first = 0; first < records; first += blockPages) {
            const std::size_t count = std::min(blockPages, records - first);
            // A partial block at the end is checked as any other.
            const long marked = c.layout.markerCount != 0 && count == blockPages
                                    ? nand::badBlockMarkerPage(c, in.data + first * c.recordSize)
                                    : -1;
            if (marked >= 0) {
                r.badBlocks++;
                Finding f{first + static_cast<std::size_t>(marked), -1, "bad-block", {}, {}};
                f.block = first / blockPages;
                found.push_back(f);
            }
            for (std::size_t p = first; p < first + count; p++) {
                const std::uint8_t *record = in.data + p * c.recordSize;
                r.pages++;
                if (marked < 0 && nand::recordIsClean(c, record, threshold, p)) {
                    r.clean += c.steps;
                } else if (marked < 0) {
                    std::memcpy(scratch.data(), record, c.recordSize);
                    record = scratch.data();
                    nand::checkRecord(c, scratch.data(), threshold, result.get(), p);
                    if (result->erased) {
                        r.erased++;
                        if (result->bitflips != 0) {
                            Finding f{p, -1, "erased-bitflips", {}, {}};
                            f.flips = result->bitflips;
                            found.push_back(f);
                        }
                    } else {
                        for (std::size_t s = 0; s < c.steps; s++) {
                            const nand::StepResult &st = result->steps[s];
                            if (st.blank) {
                                r.clean++;
                                if (st.flips != 0) {
                                    Finding f{p, static_cast<long>(s), "erased-bitflips", {}, {}};
                                    f.flips = st.flips;
                                    found.push_back(f);
                                }
                                continue;
                            }
                            switch (st.status) {
                            case EccStatus::Clean:
                                r.clean++;
                                continue;
                            case EccStatus::Uncorrectable:
                                r.uncorrectable++;
                                found.push_back({p, static_cast<long>(s), "uncorrectable", {}, {}});
                                continue;
                            case EccStatus::CorrectedData: {
                                r.corrected++;
                                Finding f{p, static_cast<long>(s), "corrected-data", {}, {}};
                                f.byte = st.byte;
                                f.bit = st.bit;
                                found.push_back(f);
                                continue;
                            }
                            case EccStatus::CorrectedCode:
                                r.corrected++;
                                found.push_back({p, static_cast<long>(s), "corrected-ecc-field", {}, {}});
                                continue;
                            default:
                                break;
                            }
                            r.corrected++;
                            Finding f{p, static_cast<long>(s), "corrected-bits", {}, {}};
                            for (unsigned k = 0; k < st.count; k++) {
                                const unsigned loc = st.locs[k];
                                const std::uint32_t at = nand::locationByte(c, s, loc);
                                if (loc < dataBits) {
                                    f.bits.emplace_back("byte",
                                                        static_cast<unsigned>(s * c.layout.stepSize + loc / 8));
                                } else if (loc >= messageBits && c.dataInPlace) {
                                    f.bits.emplace_back("ecc_byte", at - c.layout.pageSize);
                                } else {
                                    f.bits.emplace_back("raw_byte", nand::locationBit(c, s, loc) / 8);
                                }
                                // A bit-packed layout's code bits sit at any bit of their byte.
                                f.bitOf.push_back(loc < dataBits ? loc % 8 : nand::locationBit(c, s, loc) % 8);
                            }
                            found.push_back(f);
                        }
                    }
                }
                // The outputs: a bad block left out, 0xFF, or as read.
                if (marked >= 0 && bb == "skip") {
                    continue;
                }
                const bool pad = marked >= 0 && bb == "pad";
                if (dataOut != nullptr) {
                    if (pad) {
                        std::memset(dataOut + dataLen, 0xFF, page);
                    } else {
                        nand::recordData(c, record, dataOut + dataLen, p);
                    }
                    dataLen += page;
                }
                if (fixedOut != nullptr) {
                    if (pad) {
                        std::memset(fixedOut + fixedLen, 0xFF, c.recordSize);
                    } else {
                        std::memcpy(fixedOut + fixedLen, record, c.recordSize);
                    }
                    fixedLen += c.recordSize;
                }
            }
        }
        // Bytes past the last whole record go to the fixed image as they are.
        r.trailing = in.size - records * c.recordSize;
        if (fixedOut != nullptr) {
            std::memcpy(fixedOut + fixedLen, in.data + records * c.recordSize, r.trailing);
            fixedLen += r.trailing;
        }
    }
    shorten(&data, dataLen);
    shorten(&fixed, fixedLen);
    for (const Finding &f : found) {
        r.findings.append(findingDict(f));
    }
    r.data = data;
    r.fixed = fixed;
    return r;
}

// ---- inject ----

struct Injected {
    std::vector<nand::Flip> flips;
    std::vector<std::uint64_t> pages;
    std::uint64_t page = 0;
};

py::tuple inject(const Layout &l, const py::buffer &image, std::uint64_t seed, const py::object &bits,
                 const py::object &ber, const std::string &area, bool erased, const std::string &direction)
{
    nand::InjectOptions o;
    if (!nand::areaByName(area.c_str(), &o.area)) {
        throw py::value_error("area takes step, data, ecc or oob, not '" + area + "'");
    }
    if (!nand::directionByName(direction.c_str(), &o.direction)) {
        throw py::value_error("direction takes any, 0to1 or 1to0, not '" + direction + "'");
    }
    if (bits.is_none() == ber.is_none()) {
        throw py::value_error("give one of bits and ber");
    }
    const nand::Codec &c = *l.codec;
    if (!bits.is_none()) {
        const long k = bits.cast<long>();
        if (k < 1 || k > 64 || static_cast<std::size_t>(k) > nand::areaBits(c, o.area)) {
            throw py::value_error("bits takes 1 to 64, at most the area's bits");
        }
        o.bits = static_cast<unsigned>(k);
    } else {
        const double r = ber.cast<double>();
        if (!(r >= 0.0 && r <= 1.0)) {
            throw py::value_error("ber takes a probability from 0 to 1");
        }
        o.rate = r >= 1.0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(r * 18446744073709551616.0);
    }
    o.erased = erased;
    const Bytes in(image);
    std::vector<std::uint8_t> out(in.data, in.data + in.size);
    Injected made;
    {
        const py::gil_scoped_release release;
        nand::Rng rng(seed);
        const auto emit = [](void *context, const nand::Flip &f) {
            auto *m = static_cast<Injected *>(context);
            m->flips.push_back(f);
            m->pages.push_back(m->page);
        };
        for (std::size_t p = 0; p < in.size / c.recordSize; p++, made.page++) {
            nand::injectRecord(c, out.data() + p * c.recordSize, o, &rng, emit, &made);
        }
    }
    py::list manifest;
    for (std::size_t i = 0; i < made.flips.size(); i++) {
        py::dict d;
        d["page"] = made.pages[i];
        d["step"] = made.flips[i].step >= 0 ? py::object(py::int_(made.flips[i].step)) : py::object(py::none());
        d["offset"] = made.flips[i].offset;
        d["bit"] = made.flips[i].bit;
        manifest.append(d);
    }
    return py::make_tuple(toBytes(out), manifest);
}

// ---- BCH ----

// Linux's lib/bch.c code: bch_init(m, t, prim_poly, swap_bits), no NAND
// mask; a code for each message length used.
class Bch {
public:
    Bch(unsigned t, const py::object &primPoly, const py::object &m, bool swapBits) : t_(t), swap_(swapBits)
    {
        poly_ = primPoly.is_none() ? 0 : primPoly.cast<unsigned>();
        if (!m.is_none()) {
            m_ = m.cast<unsigned>();
        } else if (poly_ != 0) {
            m_ = 0;
            while ((poly_ >> (m_ + 1)) != 0) {
                m_++;
            }
        } else {
            m_ = 13;  // Linux's NAND field for 512-byte steps
        }
        if (m_ < bch::kMinM || m_ > bch::kMaxM) {
            throw py::value_error("m takes 5 to 15");
        }
        if (poly_ == 0) {
            poly_ = bch::defaultPoly(m_);
        }
        if (!bch::isPrimitive(m_, poly_)) {
            throw py::value_error("prim_poly is not a primitive polynomial of degree " + std::to_string(m_));
        }
        if (t_ < 1 || t_ > bch::kMaxT || bch::maxStrength(m_, 1) < t_) {
            throw py::value_error("t takes 1 to the field's limit");
        }
    }

    unsigned eccBytes() const { return (m_ * t_ + 7) / 8; }
    unsigned m() const { return m_; }
    unsigned t() const { return t_; }
    unsigned primPoly() const { return poly_; }

    py::bytes encode(const py::buffer &data)
    {
        const Bytes in(data);
        const bch::Code &c = codeFor(in.size);
        std::string out(c.codeBytes, '\0');
        {
            const py::gil_scoped_release release;
            bch::encode(c, in.data, reinterpret_cast<std::uint8_t *>(out.data()));
        }
        return py::bytes(out);
    }

    // Codes of every `step` bytes of a buffer, one after another.
    py::bytes encodeBatch(const py::buffer &data, std::size_t step)
    {
        const Bytes in(data);
        if (step == 0 || in.size % step != 0) {
            throw py::value_error("the buffer is no whole number of steps");
        }
        const bch::Code &c = codeFor(step);
        std::string out(in.size / step * c.codeBytes, '\0');
        {
            const py::gil_scoped_release release;
            for (std::size_t i = 0; i < in.size / step; i++) {
                bch::encode(c, in.data + i * step, reinterpret_cast<std::uint8_t *>(out.data()) + i * c.codeBytes);
            }
        }
        return py::bytes(out);
    }

    int decode(const py::buffer &data, const py::buffer &recvEcc, bool strict)
    {
        const Bytes in(data);
        const Bytes ecc(recvEcc);
        const bch::Code &c = codeFor(in.size);
        if (ecc.size < c.codeBytes) {
            throw py::value_error("recv_ecc holds " + std::to_string(ecc.size) + " bytes; the code takes " +
                                  std::to_string(c.codeBytes));
        }
        std::vector<std::uint8_t> work(in.data, in.data + in.size);
        std::vector<std::uint8_t> code(ecc.data, ecc.data + c.codeBytes);
        unsigned locs[bch::kMaxT];
        int n = 0;
        {
            const py::gil_scoped_release release;
            n = bch::decode(c, work.data(), code.data(), locs, strict);
        }
        errloc_.assign(locs, locs + (n > 0 ? n : 0));
        messageBytes_ = in.size;
        return n;
    }

    // Flips the bits of the last decode in data and ecc (bytearrays).
    void correct(const py::buffer &data, const py::buffer &ecc)
    {
        const py::buffer_info d = data.request(true);
        const py::buffer_info e = ecc.request(true);
        auto *dp = static_cast<std::uint8_t *>(d.ptr);
        auto *ep = static_cast<std::uint8_t *>(e.ptr);
        const auto dataBits = static_cast<unsigned>(8 * messageBytes_);
        for (const unsigned loc : errloc_) {
            if (loc < dataBits && loc / 8 < static_cast<std::size_t>(d.size)) {
                dp[loc / 8] ^= static_cast<std::uint8_t>(1u << (loc % 8));
            } else if (loc >= dataBits && (loc - dataBits) / 8 < static_cast<std::size_t>(e.size)) {
                ep[(loc - dataBits) / 8] ^= static_cast<std::uint8_t>(1u << (loc % 8));
            }
        }
    }

    std::vector<unsigned> errloc() const { return errloc_; }

private:
    const bch::Code &codeFor(std::size_t bytes) const
    {
        auto it = codes_.find(bytes);
        if (it != codes_.end()) {
            return *it->second;
        }
        auto code = std::make_unique<bch::Code>();
        char why[200];
        if (!bch::init(code.get(), {m_, t_, poly_, swap_, false, bytes}, why, sizeof why)) {
            throw py::value_error(why);
        }
        return *codes_.emplace(bytes, std::move(code)).first->second;
    }

    unsigned t_;
    bool swap_;
    unsigned m_ = 13;
    unsigned poly_ = 0;
    std::vector<unsigned> errloc_;
    std::size_t messageBytes_ = 0;
    mutable std::map<std::size_t, std::unique_ptr<bch::Code>> codes_;
};

}  // namespace

PYBIND11_MODULE(nandconv, mod)
{
    mod.doc() = "NAND flash images: layouts, build, check, inject, and Linux's BCH code";

    mod.def("layouts", [] {
        std::size_t count = 0;
        const nand::Layout *all = nand::presets(&count);
        py::list names;
        for (std::size_t i = 0; i < count; i++) {
            names.append(all[i].name);
        }
        return names;
    }, "The names of the layout presets.");

    py::class_<Layout>(mod, "Layout")
        .def(py::init(&makeLayout), py::arg("name") = py::none(), py::arg("file") = py::none(),
             py::arg("json") = py::none())
        .def("to_json", &Layout::json)
        .def_property_readonly("page", [](const Layout &l) { return l.layout.pageSize; })
        .def_property_readonly("oob", [](const Layout &l) { return l.layout.oobSize; })
        .def_property_readonly("record", [](const Layout &l) { return l.codec->recordSize; })
        .def("build", &build, py::arg("data"), py::arg("keep_erased") = false)
        .def("check", &check, py::arg("image"), py::arg("erased_threshold") = -1, py::arg("bb") = "skip",
             py::arg("data") = true, py::arg("fixed") = true)
        .def("inject", &inject, py::arg("image"), py::arg("seed"), py::kw_only(), py::arg("bits") = py::none(),
             py::arg("ber") = py::none(), py::arg("area") = "step", py::arg("erased") = false,
             py::arg("direction") = "any");

    py::class_<CheckResult>(mod, "CheckResult")
        .def_readonly("findings", &CheckResult::findings)
        .def_readonly("pages", &CheckResult::pages)
        .def_readonly("erased", &CheckResult::erased)
        .def_readonly("bad_blocks", &CheckResult::badBlocks)
        .def_readonly("trailing_bytes", &CheckResult::trailing)
        .def_property_readonly("steps",
                               [](const CheckResult &r) {
                                   py::dict d;
                                   d["clean"] = r.clean;
                                   d["corrected"] = r.corrected;
                                   d["uncorrectable"] = r.uncorrectable;
                                   return d;
                               })
        .def_readonly("data", &CheckResult::data)
        .def_readonly("fixed", &CheckResult::fixed);

    py::class_<Bch>(mod, "BCH")
        .def(py::init<unsigned, py::object, py::object, bool>(), py::arg("t"), py::arg("prim_poly") = py::none(),
             py::arg("m") = py::none(), py::arg("swap_bits") = false)
        .def_property_readonly("ecc_bytes", &Bch::eccBytes)
        .def_property_readonly("m", &Bch::m)
        .def_property_readonly("t", &Bch::t)
        .def_property_readonly("prim_poly", &Bch::primPoly)
        .def_property_readonly("errloc", &Bch::errloc)
        .def("encode", &Bch::encode, py::arg("data"))
        .def("encode_batch", &Bch::encodeBatch, py::arg("data"), py::arg("step"))
        .def("decode", &Bch::decode, py::arg("data"), py::arg("recv_ecc"), py::arg("strict") = true)
        .def("correct", &Bch::correct, py::arg("data"), py::arg("ecc"));
}
