#include "platform/posix/ansi_decoder.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/common/case_text.h"

namespace kestrix::posix {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
// iconv_open signals failure with this value.
const auto kNoConverter = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// Owns an iconv descriptor; one per call, since a descriptor carries shift
// state and must not be shared between threads.
class Converter {
 public:
  explicit Converter(int codePage) {
    for (const std::string& name : CharsetNames(codePage)) {
      handle_ = iconv_open("UTF-8", name.c_str());
      if (handle_ != kNoConverter) {
        is1252_ = codePage == 1252;
        return;
      }
    }
    // A code page this system lacks is read as 1252, the commonest, rather
    // than leaving the file unread.
    handle_ = iconv_open("UTF-8", "CP1252");
    is1252_ = true;
  }
  ~Converter() {
    if (handle_ != kNoConverter) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Usable() const { return handle_ != kNoConverter; }
  bool Is1252() const { return is1252_; }
  iconv_t Handle() const { return handle_; }

 private:
  // glibc spells the Chinese code pages by their national names.
  static std::vector<std::string> CharsetNames(int codePage) {
    switch (codePage) {
      case 936:
        return {"GBK", "CP936"};
      case 950:
        return {"BIG5", "CP950"};
      case 65001:
        return {"UTF-8"};
      default:
        return {"CP" + std::to_string(codePage)};
    }
  }

  iconv_t handle_ = kNoConverter;
  bool is1252_ = false;
};

// Code points of 0x80..0x9F in code page 1252; 0 where the page has none,
// and Windows then gives the C1 control of the same value.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// For a system without iconv's code page modules (a minimal container), so
// that Western text still reads.
std::string DecodeCp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte <= 0x9F) {
      const char32_t cp = kCp1252High[byte - 0x80];
      AppendUtf8(out, cp == 0 ? byte : cp);
    } else {
      AppendUtf8(out, byte);
    }
  }
  return out;
}

}  // namespace

std::string DecodeAnsi(std::string_view bytes, int codePage) {
  Converter converter(codePage);
  if (!converter.Usable()) return DecodeCp1252(bytes);

  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::array<char, 16384> buffer;
  // iconv's prototype lacks const; it only reads the input.
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* outAt = buffer.data();
    std::size_t outLeft = buffer.size();
    const std::size_t converted = iconv(converter.Handle(), &in, &inLeft, &outAt, &outLeft);
    const int error = errno;
    const auto produced = static_cast<std::size_t>(outAt - buffer.data());
    out.append(buffer.data(), produced);
    if (converted != kFailed) continue;
    if (error == E2BIG && produced > 0) continue;
    // An invalid sequence, or one the end of the text cuts off: that one byte
    // is lost, and the byte after it may well start a character again. The
    // five bytes code page 1252 leaves undefined read as Windows reads them.
    const auto byte = static_cast<unsigned char>(*in);
    if (converter.Is1252() && byte >= 0x80 && byte <= 0x9F) {
      AppendUtf8(out, byte);
    } else {
      out += kReplacement;
    }
    ++in;
    --inLeft;
    iconv(converter.Handle(), nullptr, nullptr, nullptr, nullptr);
  }
  char* outAt = buffer.data();
  std::size_t outLeft = buffer.size();
  iconv(converter.Handle(), nullptr, nullptr, &outAt, &outLeft);
  out.append(buffer.data(), static_cast<std::size_t>(outAt - buffer.data()));
  return out;
}

}  // namespace kestrix::posix
