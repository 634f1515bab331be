// The Python module nandconv: the engine's layouts, build, check and inject
// on any buffer, and Linux's BCH code with the interface Python users know.
// Every call works on its own objects (a Layout holds its codec; a check its
// results), so threads may call it at once; long calls release the GIL.
#include "bch.h"
#include "build.h"
#include "checker.h"
#include "detect.h"
#include "inject.h"
#include "layout.h"
#include "record.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
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
    if ((name.is_none() ? 0 : 1) + (file.is_none() ? 0 : 1) + (json.is_none() ? 0 : 1) > 1) {
        throw py::value_error("give one of name, file and json");
    }
    nand::LayoutSource source;
    std::string given;
    if (!file.is_none()) {
        given = py::str(py::module_::import("os").attr("fsdecode")(file));
        source.file = given.c_str();
    } else if (!json.is_none()) {
        given = json.cast<std::string>();
        source.json = given.data();
        source.jsonSize = given.size();
    } else if (!name.is_none()) {
        given = name.cast<std::string>();
        source.name = given.c_str();
        if (nand::findPreset(source.name) == nullptr) {
            throw py::value_error("no layout named '" + given + "'; nandconv.layouts() lists them");
        }
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
    if (const nand::Status s = nand::loadLayout(source, c, &l.layout); !s.good()) {
        if (s.kind() == nand::Status::Kind::System) {
            errno = s.errnum();
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, source.file);
            throw py::error_already_set();
        }
        throw py::value_error(s.message());
    }
    l.codec = std::make_shared<nand::Codec>();
    nand::makeCodec(l.layout, l.codec.get());
    return l;
}

py::bytes build(const Layout &l, const py::buffer &input, bool keepErased)
{
    const Bytes in(input);
    const nand::Codec &c = *l.codec;
    std::vector<std::uint8_t> out(nand::recordsFor(c, in.size) * c.recordSize);
    {
        const py::gil_scoped_release release;
        nand::buildRecords(c, in.data, in.size, out.data(), keepErased);
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

// A finding as the engine tells it, kept until the GIL is back.
struct Finding {
    nand::FindingClass cls;
    std::uint64_t page;
    std::uint64_t block;
    long step;
    unsigned flips;
    unsigned byte;  // corrected-data
    unsigned bit;
    std::size_t firstBit;  // corrected-bits: its bits in Findings::bits
    std::size_t bitCount;
};

struct CorrectedBit {
    nand::BitPlace place;
    std::uint32_t offset;
    unsigned bit;
};

struct Findings {
    const nand::Codec *codec;
    std::vector<Finding> found;
    std::vector<CorrectedBit> bits;
};

void keepFinding(void *context, const nand::Finding &f)
{
    auto *k = static_cast<Findings *>(context);
    Finding kept{f.cls, f.page, f.block, f.step, f.bitflips, 0, 0, k->bits.size(), 0};
    if (f.cls == nand::FindingClass::CorrectedData) {
        kept.byte = f.result->byte;
        kept.bit = f.result->bit;
    } else if (f.cls == nand::FindingClass::CorrectedBits) {
        for (unsigned i = 0; i < f.result->count; i++) {
            const unsigned loc = f.result->locs[i];
            CorrectedBit b{nand::BitPlace::Data, 0, 0};
            b.place = nand::correctedBitPlace(*k->codec, static_cast<std::size_t>(f.step), loc, &b.offset, &b.bit);
            k->bits.push_back(b);
        }
        kept.bitCount = f.result->count;
    }
    k->found.push_back(kept);
}

// A finding as the CLI's JSON has it.
py::dict findingDict(const Findings &k, const Finding &f)
{
    static const char *const places[] = {"byte", "ecc_byte", "raw_byte"};
    py::dict d;
    const char *cls = nand::findingClassName(f.cls);
    if (f.cls == nand::FindingClass::BadBlock) {
        d["block"] = f.block;
        d["class"] = cls;
        d["page"] = f.page;
        return d;
    }
    d["page"] = f.page;
    if (f.step >= 0) {
        d["step"] = f.step;
    }
    d["class"] = cls;
    if (f.cls == nand::FindingClass::CorrectedData) {
        d["byte"] = f.byte;
        d["bit"] = f.bit;
    } else if (f.cls == nand::FindingClass::CorrectedBits) {
        py::list bits;
        for (std::size_t i = f.firstBit; i < f.firstBit + f.bitCount; i++) {
            py::dict b;
            b[places[static_cast<int>(k.bits[i].place)]] = k.bits[i].offset;
            b["bit"] = k.bits[i].bit;
            bits.append(b);
        }
        d["bits"] = bits;
    } else if (f.cls == nand::FindingClass::ErasedBitflips) {
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
    // Large pages where the system gives them on asking: filling hundreds of
    // MiB a 4 KiB fault at a time costs more than the check. A hint only.
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    auto *p = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(b));
    const std::size_t skip = (kHuge - reinterpret_cast<std::uintptr_t>(p) % kHuge) % kHuge;
    if (n > skip + kHuge) {
        (void)madvise(p + skip, (n - skip) / kHuge * kHuge, MADV_HUGEPAGE);
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

// Reads n bytes at offset at; 0 or the errno (EIO where the file ends first).
int readAt(int fd, std::uint8_t *buf, std::size_t n, off_t at)
{
    while (n != 0) {
        const ssize_t got = pread(fd, buf, n, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        buf += got;
        n -= static_cast<std::size_t>(got);
        at += got;
    }
    return 0;
}

// One check of an image, fed chunk by chunk: the findings, the counts, and
// the outputs, written straight into the bytes objects returned. A chunk is
// whole eraseblocks (but for the image's end), about kChunkBytes.
//
// Each chunk goes in two passes. First every core takes a part of it: reads
// it (from the file, or copies it from the buffer into the repaired image),
// finds which records are clean, and writes the page data of every record as
// read. Then this thread checks the chunk block by block, in place where it
// may write: the page data of each decoded page is written again as
// repaired, a bad block is padded or left out (the outputs after it moved
// back over it).
class CheckRun {
public:
    static constexpr std::size_t kChunkBytes = std::size_t{4} << 20;

    CheckRun(const nand::Codec &c, unsigned threshold, std::string bb, std::uint8_t *dataOut, std::uint8_t *fixedOut)
        : c_(c), threshold_(threshold), bb_(std::move(bb)), dataOut_(dataOut), fixedOut_(fixedOut),
          kept_{&c, {}, {}}, checker_(std::make_unique<nand::Checker>())
    {
        checker_->begin(c, threshold);
        const std::size_t blockPages = c.layout.pagesPerBlock > 1 ? c.layout.pagesPerBlock : 1;
        perChunk_ = std::max<std::size_t>(1, kChunkBytes / (blockPages * c.recordSize)) * blockPages;
        clean_.resize(perChunk_);
    }

    std::size_t perChunk() const { return perChunk_; }

    // Checks n records: from the file fd at offset `at` into `buffer` (or
    // straight into the repaired image), or, with fd < 0, at `image`.
    // Returns 0 or the errno of a failed read.
    int chunk(int fd, off_t at, std::uint8_t *buffer, const std::uint8_t *image, std::size_t n)
    {
        const std::size_t size = c_.recordSize;
        std::uint8_t *fixed = fixedOut_ != nullptr ? fixedOut_ + fixedLen_ : nullptr;
        // Where the records are checked; writable unless it is the caller's buffer.
        std::uint8_t *work = fixed != nullptr ? fixed : (fd >= 0 ? buffer : nullptr);
        const std::uint8_t *records = work != nullptr ? work : image;
        chunkFirst_ = checker_->counts().pages;
        int err = 0;
        everyCore(n, [&](std::size_t from, std::size_t to, int *failed) {
            const std::size_t bytes = (to - from) * size;
            if (fd >= 0) {
                *failed = readAt(fd, work + from * size, bytes, at + static_cast<off_t>(from * size));
            } else if (work != nullptr) {
                std::memcpy(work + from * size, image + from * size, bytes);
            }
            for (std::size_t r = from; r < to && *failed == 0; r++) {
                const std::uint8_t *record = records + r * size;
                clean_[r] = nand::recordIsClean(c_, record, threshold_, chunkFirst_ + r) ? 1 : 0;
                if (dataOut_ != nullptr) {
                    nand::recordData(c_, record, dataOut_ + dataLen_ + r * c_.layout.pageSize, chunkFirst_ + r);
                }
            }
        }, &err);
        if (err != 0) {
            return err;
        }
        const std::size_t blockPages = c_.layout.pagesPerBlock > 1 ? c_.layout.pagesPerBlock : 1;
        shift_ = 0;
        const nand::CheckEvents events = {this, nullptr, onPage, keepFinding};
        for (std::size_t first = 0; first < n; first += blockPages) {
            const std::size_t count = std::min(blockPages, n - first);
            moveBack(first, count);
            std::uint8_t *block = work != nullptr ? work + (first - shift_) * size : nullptr;
            const std::uint8_t *in = block != nullptr ? block : image + first * size;
            const nand::BlockCounts b = checker_->checkBlock(in, block, count,
                                                             reinterpret_cast<const bool *>(clean_.data() + first),
                                                             events);
            if (!b.bad || bb_ == "keep") {
                continue;
            }
            if (bb_ == "skip") {
                shift_ += count;
                continue;
            }
            if (dataOut_ != nullptr) {
                std::memset(dataOut_ + dataLen_ + (first - shift_) * c_.layout.pageSize, 0xFF,
                            count * c_.layout.pageSize);
            }
            if (fixed != nullptr) {
                std::memset(block, 0xFF, count * size);
            }
        }
        dataLen_ += dataOut_ != nullptr ? (n - shift_) * c_.layout.pageSize : 0;
        fixedLen_ += fixed != nullptr ? (n - shift_) * size : 0;
        return 0;
    }

    // Bytes past the last whole record go to the repaired image as they are.
    void trailing(const std::uint8_t *bytes, std::size_t n)
    {
        if (fixedOut_ != nullptr) {
            std::memcpy(fixedOut_ + fixedLen_, bytes, n);
            fixedLen_ += n;
        }
    }

    std::size_t dataLen() const { return dataLen_; }
    std::size_t fixedLen() const { return fixedLen_; }
    const Findings &kept() const { return kept_; }
    const nand::CheckCounts &counts() const { return checker_->counts(); }

private:
    // Runs work(from, to, &err) over parts of n records, a part a core.
    template <class Work>
    static void everyCore(std::size_t n, const Work &work, int *err)
    {
        constexpr std::size_t kMinPerThread = 256;  // records: fewer are not worth a thread
        const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t threads = std::min(cores, std::max<std::size_t>(1, n / kMinPerThread));
        std::vector<std::thread> helpers;
        std::vector<int> errs(threads);
        for (std::size_t t = 1; t < threads; t++) {
            helpers.emplace_back(work, n * t / threads, n * (t + 1) / threads, &errs[t]);
        }
        work(0, n / threads, &errs[0]);
        for (std::thread &h : helpers) {
            h.join();
        }
        for (const int e : errs) {
            *err = *err != 0 ? *err : e;
        }
    }

    // Moves the outputs of `count` records from `first` on back over the
    // blocks left out before them in this chunk.
    void moveBack(std::size_t first, std::size_t count)
    {
        if (shift_ == 0) {
            return;
        }
        const std::size_t page = c_.layout.pageSize;
        if (dataOut_ != nullptr) {
            std::uint8_t *base = dataOut_ + dataLen_;
            std::memmove(base + (first - shift_) * page, base + first * page, count * page);
        }
        if (fixedOut_ != nullptr) {
            std::uint8_t *base = fixedOut_ + fixedLen_;
            std::memmove(base + (first - shift_) * c_.recordSize, base + first * c_.recordSize,
                         count * c_.recordSize);
        }
    }

    // A decoded page: its page data again, as repaired.
    static void onPage(void *context, std::uint64_t page, const nand::RecordResult * /*result*/,
                       const std::uint8_t *record)
    {
        auto *run = static_cast<CheckRun *>(context);
        if (record == nullptr || run->dataOut_ == nullptr) {
            return;
        }
        const std::size_t at = static_cast<std::size_t>(page - run->chunkFirst_) - run->shift_;
        nand::recordData(run->c_, record, run->dataOut_ + run->dataLen_ + at * run->c_.layout.pageSize, page);
    }

    static void keepFinding(void *context, const nand::Finding &f)
    {
        ::keepFinding(&static_cast<CheckRun *>(context)->kept_, f);
    }

    const nand::Codec &c_;
    unsigned threshold_;
    std::string bb_;
    std::uint8_t *dataOut_;
    std::uint8_t *fixedOut_;
    std::size_t dataLen_ = 0;
    std::size_t fixedLen_ = 0;
    Findings kept_;
    std::unique_ptr<nand::Checker> checker_;
    std::size_t perChunk_ = 0;
    std::vector<std::uint8_t> clean_;
    std::uint64_t chunkFirst_ = 0;  // the chunk's first page
    std::size_t shift_ = 0;         // records of the chunk left out so far
};

// A file to check, read in chunks rather than whole: closed however the
// check ends.
struct File {
    int fd = -1;
    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// As nandconv check: the image (a buffer, or the path of a file, read a
// chunk at a time) is only read. The page data (as -o) and the repaired image
// (as -f) are written straight into the bytes objects returned, unless not
// wanted.
CheckResult check(const Layout &l, const py::object &image, long erasedThreshold, const std::string &bb,
                  bool wantData, bool wantFixed)
{
    if (bb != "skip" && bb != "pad" && bb != "keep") {
        throw py::value_error("bb takes skip, pad or keep, not '" + bb + "'");
    }
    const nand::Codec &c = *l.codec;
    const unsigned threshold =
        erasedThreshold >= 0 ? static_cast<unsigned>(erasedThreshold) : nand::strength(c.layout);
    const bool isPath = py::isinstance<py::str>(image) || py::hasattr(image, "__fspath__");
    std::unique_ptr<Bytes> in;
    File file;
    std::size_t size = 0;
    if (isPath) {
        const std::string path = py::str(py::module_::import("os").attr("fsdecode")(image));
        file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const off_t end = file.fd >= 0 ? lseek(file.fd, 0, SEEK_END) : -1;
        if (end < 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        size = static_cast<std::size_t>(end);
    } else {
        in = std::make_unique<Bytes>(image.cast<py::buffer>());
        size = in->size;
    }
    const std::size_t records = size / c.recordSize;
    py::object data = newBytes(wantData, records * c.layout.pageSize);
    py::object fixed = newBytes(wantFixed, size);
    CheckRun run(c, threshold, bb, bytesOf(data), bytesOf(fixed));
    int err = 0;
    {
        const py::gil_scoped_release release;
        // A file is read into a buffer of one chunk, again and again, so that
        // no page of it is mapped, unless straight into the repaired image.
        std::vector<std::uint8_t> buffer(isPath && !wantFixed ? run.perChunk() * c.recordSize : 0);
        for (std::size_t first = 0; first < records && err == 0; first += run.perChunk()) {
            const std::size_t n = std::min(run.perChunk(), records - first);
            const off_t at = static_cast<off_t>(first * c.recordSize);
            err = run.chunk(file.fd, at, buffer.data(), isPath ? nullptr : in->data + at, n);
        }
        const std::size_t rest = size - records * c.recordSize;
        std::vector<std::uint8_t> tail(isPath ? rest : 0);
        if (err == 0 && isPath) {
            err = readAt(file.fd, tail.data(), rest, static_cast<off_t>(records * c.recordSize));
        }
        if (err == 0) {
            run.trailing(isPath ? tail.data() : in->data + records * c.recordSize, rest);
        }
    }
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, image.ptr());
        throw py::error_already_set();
    }
    CheckResult r;
    const nand::CheckCounts &n = run.counts();
    r.pages = n.pages;
    r.erased = n.erased;
    r.badBlocks = n.badBlocks;
    r.clean = n.clean;
    r.corrected = n.corrected;
    r.uncorrectable = n.uncorrectable;
    r.trailing = size - records * c.recordSize;
    shorten(&data, run.dataLen());
    shorten(&fixed, run.fixedLen());
    for (const Finding &f : run.kept().found) {
        r.findings.append(findingDict(run.kept(), f));
    }
    r.data = data;
    r.fixed = fixed;
    return r;
}

// ---- detect ----

// A layout made ready from a layout the engine found.
Layout layoutOf(const nand::Layout &found)
{
    Layout l;
    l.layout = found;
    l.codec = std::make_shared<nand::Codec>();
    nand::makeCodec(l.layout, l.codec.get());
    return l;
}

// As nandconv detect on a dump (its path, or a buffer): a dict with the
// status (0 found, 1 nothing convincing), the layout found (a Layout, or
// None), and the evidence of --json, its candidates as dicts with a Layout.
py::dict detect(const py::object &dump, long page, long oob, bool exhaustive)
{
    nand::DetectOptions o;
    o.pageSize = page > 0 ? static_cast<std::uint32_t>(page) : 0;
    o.oobSize = oob > 0 ? static_cast<std::uint32_t>(oob) : 0;
    o.exhaustive = exhaustive;
    o.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
    std::vector<nand::DumpWindow> windows;
    std::vector<std::uint8_t> read;
    std::unique_ptr<Bytes> in;
    std::uint64_t size = 0;
    if (py::isinstance<py::str>(dump) || py::hasattr(dump, "__fspath__")) {
        const std::string path = py::str(py::module_::import("os").attr("fsdecode")(dump));
        File file;
        file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const off_t end = file.fd >= 0 ? lseek(file.fd, 0, SEEK_END) : -1;
        if (end < 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        size = static_cast<std::uint64_t>(end);
        const nand::WindowPlan plan = nand::planWindows(size);
        read.resize(plan.count * plan.each);
        for (std::size_t w = 0; w < plan.count; w++) {
            if (const int err = readAt(file.fd, read.data() + w * plan.each, plan.each, static_cast<off_t>(plan.offset(w)))) {
                errno = err;
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
                throw py::error_already_set();
            }
            windows.push_back({read.data() + w * plan.each, plan.offset(w), plan.each});
        }
    } else {
        // A buffer is looked at where it lies.
        in = std::make_unique<Bytes>(dump.cast<py::buffer>());
        size = in->size;
        const nand::WindowPlan plan = nand::planWindows(size);
        for (std::size_t w = 0; w < plan.count && size != 0; w++) {
            windows.push_back({in->data + plan.offset(w), plan.offset(w), plan.each});
        }
    }
    nand::DetectResult result{};
    char why[160] = "";
    bool done = false;
    {
        const py::gil_scoped_release release;
        done = nand::detectLayout(windows.data(), windows.size(), size, o, &result, why, sizeof why);
    }
    if (!done) {
        throw py::value_error(why);
    }
    const bool found = result.count != 0 && nand::convincing(result.candidates[0]);
    py::list candidates;
    for (std::size_t i = 0; i < result.count; i++) {
        const nand::DetectScore &c = result.candidates[i];
        py::dict d;
        d["layout"] = layoutOf(c.layout);
        d["records"] = c.records;
        d["clean"] = c.clean;
        d["corrected"] = c.corrected;
        d["uncorrectable"] = c.uncorrectable;
        candidates.append(d);
    }
    py::dict evidence;
    evidence["dump_bytes"] = size;
    evidence["records_sampled"] = result.recordsSampled;
    evidence["blank_records"] = result.blankRecords;
    evidence["polynomials"] = result.polynomials;
    if (result.geometryFound) {
        py::dict g;
        g["page"] = result.pageSize;
        g["oob"] = result.oobSize;
        evidence["geometry"] = g;
    } else {
        evidence["geometry"] = py::none();
    }
    evidence["candidates"] = candidates;
    py::dict r;
    r["status"] = found ? 0 : 1;
    r["layout"] = found ? py::object(candidates[0]["layout"]) : py::none();
    r["evidence"] = evidence;
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
        if (k < 1 || k > static_cast<long>(nand::kMaxInjectBits) || static_cast<std::size_t>(k) > nand::areaBits(c, o.area)) {
            throw py::value_error("bits takes 1 to " + std::to_string(nand::kMaxInjectBits) + ", at most the area's bits");
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
        if (const nand::Status s = bch::init(code.get(), {m_, t_, poly_, swap_, false, bytes}); !s.good()) {
            throw py::value_error(s.message());
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

    mod.def("detect", &detect, py::arg("dump"), py::kw_only(), py::arg("page") = 0, py::arg("oob") = 0,
            py::arg("exhaustive") = false,
            "As nandconv detect: {'status', 'layout', 'evidence'} for a dump's path or a buffer");
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
