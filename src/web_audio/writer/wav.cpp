// WAV output: header layout identical to Python's wave writer, streamed conversion, atomic replace.
#include "writer/wav.hpp"

#include "writer/fd.hpp"
#include "writer/pcm.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wav {
namespace {

using pyrt::Ref;

constexpr std::size_t kBlockBytes = 1 << 20;  // 1 MiB per read: memory stays flat for any take length

PyObject* module_attr(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return nullptr;
    return PyObject_GetAttrString(m.get(), name);
}

int raise_from(const char* module, const char* name, const char* message) {
    Ref cls = Ref::steal(module_attr(module, name));
    if (!cls) return -1;
    PyErr_SetString(cls.get(), message);
    return -1;
}

// An integer value for a header field, as struct.pack checks it.
int to_unsigned(PyObject* v, unsigned long long max, const char* code, unsigned long long& out) {
    Ref idx = Ref::steal(PyNumber_Index(v));
    if (!idx) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return raise_from("struct", "error", "required argument is not an integer");
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return -1;
    if (overflow || x < 0 || static_cast<unsigned long long>(x) > max) {
        std::string msg = std::string("'") + code + "' format requires 0 <= number <= " + std::to_string(max);
        return raise_from("struct", "error", msg.c_str());
    }
    out = static_cast<unsigned long long>(x);
    return 0;
}

void put16(unsigned char* p, std::uint32_t v) { p[0] = v & 0xFF; p[1] = (v >> 8) & 0xFF; }
void put32(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

// The 44-byte header (binary: the four-character tags are not C strings).
// NOLINTBEGIN(bugprone-not-null-terminated-result)
void make_header(unsigned char* h, const Format& fmt, std::uint64_t data_bytes) {
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, 1);  // integer PCM
    put16(h + 22, fmt.channels);
    put32(h + 24, fmt.frame_rate);
    put32(h + 28, static_cast<std::uint64_t>(fmt.frame_rate) * fmt.channels * 2);
    put16(h + 32, fmt.channels * 2u);
    put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
}
// NOLINTEND(bugprone-not-null-terminated-result)

bool write_all(int fd, const unsigned char* p, std::size_t n, int& err) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Why a conversion was refused before anything was written, beyond an errno.
enum class Refusal { none, too_long, not_regular };

// The conversion proper, without the GIL.  Returns 0, or an errno value and
// which path it concerns (true: the temporary/target, false: the source).
int convert(int src_fd, const std::string& tmp_prefix, const std::string& target, const Format& fmt, const double* scale,
            std::uint64_t& data_bytes, Refusal& refusal, bool& on_target) {
    struct stat sb {};
    if (wa::fstat_fd(src_fd, &sb) == 0 && !S_ISREG(sb.st_mode)) {
        refusal = Refusal::not_regular;  // a pipe or a device: what went into it cannot be read back
        on_target = false;
        return ESPIPE;
    }
    if (static_cast<std::uint64_t>(sb.st_size) > kMaxDataBytes) {
        refusal = Refusal::too_long;  // refused before anything is written
        return EFBIG;
    }
    wa::Fd out;
    std::string tmp;
    for (int attempt = 0; attempt < 100 && !out; attempt++) {
        tmp = tmp_prefix + std::to_string(attempt);
        out.reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out && errno != EINTR && errno != EEXIST) {
            on_target = true;
            return errno;
        }
    }
    if (!out) return EEXIST;
    auto fail = [&](int err, bool target_side) {
        out.reset();
        ::unlink(tmp.c_str());
        on_target = target_side;
        return err;
    };
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kBlockBytes]);
    if (!block) return fail(ENOMEM, true);
    unsigned char header[44];
    make_header(header, fmt, 0);
    int err = 0;
    if (!write_all(out.get(), header, sizeof header, err)) return fail(err, true);
    std::uint64_t offset = 0;
    std::size_t carry = 0;  // an odd byte kept for the next block, so samples never split
    for (;;) {
        const ssize_t r = ::pread(src_fd, block.get() + carry, kBlockBytes - carry, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(errno, false);
        }
        if (r == 0) break;
        offset += static_cast<std::uint64_t>(r);
        if (offset > kMaxDataBytes) {
            refusal = Refusal::too_long;
            return fail(EFBIG, true);
        }
        const std::size_t have = carry + static_cast<std::size_t>(r);
        const std::size_t whole = have & ~static_cast<std::size_t>(1);
        if (scale) pcm::gain(block.get(), block.get(), whole / 2, *scale);
        if (!write_all(out.get(), block.get(), whole, err)) return fail(err, true);
        carry = have - whole;
        if (carry) block[0] = block[whole];
    }
    if (carry && !write_all(out.get(), block.get(), carry, err)) return fail(err, true);
    data_bytes = offset;
    make_header(header, fmt, data_bytes);
    if (::pwrite(out.get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return fail(errno ? errno : EIO, true);
    if (::fsync(out.get()) < 0 && errno != EINVAL && errno != EROFS) return fail(errno, true);
    if (const int e = out.close()) {
        ::unlink(tmp.c_str());
        on_target = true;
        return e;
    }
    if (::rename(tmp.c_str(), target.c_str()) < 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        on_target = true;
        return e;
    }
    return 0;
}

}  // namespace

int check_format(PyObject* channels, PyObject* sample_rate, Format& out) {
    // wave: setnchannels -> "bad # of channels"; setframerate -> "bad frame rate", int(round(rate)).
    int bad = pyrt::compare(channels, 1, Py_LT);
    if (bad < 0) return -1;
    if (bad) return raise_from("wave", "Error", "bad # of channels");
    bad = pyrt::compare(sample_rate, 0, Py_LE);
    if (bad < 0) return -1;
    if (bad) return raise_from("wave", "Error", "bad frame rate");
    Ref round_fn = Ref::steal(module_attr("builtins", "round"));
    if (!round_fn) return -1;
    Ref rounded = pyrt::call1(round_fn.get(), sample_rate);
    if (!rounded) return -1;
    Ref rate = Ref::steal(PyNumber_Long(rounded.get()));
    if (!rate) return -1;
    unsigned long long ch = 0, fr = 0;
    if (to_unsigned(channels, 32767, "H", ch) < 0) return -1;  // block align (channels * 2) is 16 bits
    if (to_unsigned(rate.get(), 0xFFFFFFFFull, "L", fr) < 0) return -1;
    if (fr * ch * 2 > 0xFFFFFFFFull) return raise_from("struct", "error", "'L' format requires 0 <= number <= 4294967295");
    out.channels = static_cast<std::uint16_t>(ch);
    out.frame_rate = static_cast<std::uint32_t>(fr);
    return 0;
}

int write_from_fd(int src_fd, PyObject* target, const Format& fmt, const double* scale) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(target, &encoded)) return -1;
    Ref path_bytes = Ref::steal(encoded);
    const std::string path(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    if (path.empty()) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, target);
        return -1;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static unsigned long counter = 0;
    const std::string tmp = dir + "." + base + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-";

    std::uint64_t data_bytes = 0;
    Refusal refusal = Refusal::none;
    bool on_target = true;
    int err;
    Py_BEGIN_ALLOW_THREADS
    try {  // nothing may unwind past the point where the GIL is taken back
        err = convert(src_fd, tmp, path, fmt, scale, data_bytes, refusal, on_target);
    } catch (...) {
        err = ENOMEM;
    }
    Py_END_ALLOW_THREADS
    if (err == 0) return 0;
    if (refusal == Refusal::too_long)
        return raise_from("wave", "Error", "the take is too long for a WAV file (more than 4294967259 bytes of samples)");
    if (refusal == Refusal::not_regular) {
        Ref exc = Ref::steal(PyObject_CallFunction(
            PyExc_OSError, "is", err, "the recording is not a regular file: its samples cannot be read back into a WAV"));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return -1;
    }
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, on_target ? target : Py_None);
    return -1;
}

}  // namespace wav
