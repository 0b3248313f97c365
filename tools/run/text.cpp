// Text helpers of qxlrun: printf-style formatting over 16-bit characters
// and the conversions between the program's 16-bit characters and UTF-8.
#include <cstdint>
#include <string>

#include "tools/run/machine.h"

namespace qxl::run {

std::string to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Well-formed UTF-8 becomes characters (above U+FFFF as surrogate pairs);
// any other byte stands for itself, as Latin-1.
std::u16string from_utf8(std::string_view text) {
  std::u16string out;
  std::size_t i = 0;
  auto byte = [&](std::size_t k) {
    return static_cast<std::uint8_t>(text[k]);
  };
  while (i < text.size()) {
    const std::uint8_t b = byte(i);
    const int extra = b >= 0xC2 && b <= 0xDF   ? 1
                      : b >= 0xE0 && b <= 0xEF ? 2
                      : b >= 0xF0 && b <= 0xF4 ? 3
                                               : 0;
    std::uint32_t c = b;
    bool ok = extra > 0 && i + static_cast<std::size_t>(extra) < text.size();
    if (ok) {
      c = b & (0x3F >> extra);
      for (int k = 1; k <= extra; ++k) {
        const std::size_t at = i + static_cast<std::size_t>(k);
        if (at >= text.size() || (byte(at) & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        c = c << 6 | (byte(at) & 0x3F);
      }
      const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
      if (ok && (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
        ok = false;
    }
    if (!ok) {
      out.push_back(static_cast<char16_t>(b));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

namespace {

std::u16string widen(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

std::string digits(std::uint32_t v, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), set[v % base]);
    v /= base;
  } while (v != 0);
  return out;
}

}  // namespace

// Conversions: %d %i %u %x %X %o %c %s %%, with the flags '-', '0', '+',
// ' ' and '#', a width and a precision (digits or '*'), and the length
// letters l and h, which change nothing.
// The text one format makes is at most format_limit characters, however
// many wide conversions the format holds.
constexpr std::size_t format_limit = 1 << 24;

std::u16string format_text(std::u16string_view format, FormatArguments& args) {
  std::u16string out;
  std::size_t i = 0;
  const std::size_t n = format.size();
  auto check_length = [&out] {
    if (out.size() > format_limit)
      fault("the formatted text is longer than " + std::to_string(format_limit) +
            " characters");
  };
  while (i < n) {
    check_length();
    const char16_t c = format[i++];
    if (c != u'%') {
      out.push_back(c);
      continue;
    }
    bool left = false, zero = false, plus = false, space = false, alt = false;
    for (; i < n; ++i) {
      if (format[i] == u'-') left = true;
      else if (format[i] == u'0') zero = true;
      else if (format[i] == u'+') plus = true;
      else if (format[i] == u' ') space = true;
      else if (format[i] == u'#') alt = true;
      else break;
    }
    auto number = [&](int& value) {
      if (i < n && format[i] == u'*') {
        ++i;
        value = args.next_int();
        return;
      }
      value = 0;
      while (i < n && format[i] >= u'0' && format[i] <= u'9') {
        value = value * 10 + (format[i] - u'0');
        if (value > 100000) fault("a width or precision above 100000 in a format");
        ++i;
      }
    };
    int width = 0;
    number(width);
    if (width < 0) {
      left = true;
      width = width == INT32_MIN ? 0 : -width;
    }
    if (width > 100000) fault("a width above 100000 in a format");
    int precision = -1;
    if (i < n && format[i] == u'.') {
      ++i;
      number(precision);
      if (precision > 100000) fault("a precision above 100000 in a format");
    }
    while (i < n && (format[i] == u'l' || format[i] == u'h')) ++i;
    if (i >= n) fault("the format ends inside a conversion");
    const char16_t conversion = format[i++];
    std::u16string body;
    std::u16string sign;
    bool numeric = false;
    switch (conversion) {
      case u'%':
        out.push_back(u'%');
        continue;
      case u'd':
      case u'i': {
        const std::int32_t v = args.next_int();
        const std::uint32_t magnitude =
            v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
        body = widen(digits(magnitude, 10, false));
        sign = v < 0 ? u"-" : plus ? u"+" : space ? u" " : u"";
        numeric = true;
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        const auto v = static_cast<std::uint32_t>(args.next_int());
        const unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
        body = widen(digits(v, base, conversion == u'X'));
        if (alt && v != 0 && base == 16) sign = conversion == u'X' ? u"0X" : u"0x";
        if (alt && base == 8 && body[0] != u'0') body.insert(body.begin(), u'0');
        numeric = true;
        break;
      }
      case u'c':
        body.push_back(static_cast<char16_t>(args.next_int()));
        break;
      case u's':
        body = args.next_string();
        if (precision >= 0 && body.size() > static_cast<std::size_t>(precision))
          body.resize(static_cast<std::size_t>(precision));
        break;
      default:
        fault("the format conversion %" + to_utf8(std::u16string(1, conversion)) +
              " is not supported");
    }
    if (numeric && precision >= 0) {
      if (precision == 0 && body == u"0") body.clear();
      if (body.size() < static_cast<std::size_t>(precision))
        body.insert(0, static_cast<std::size_t>(precision) - body.size(), u'0');
      zero = false;
    }
    const std::size_t length = sign.size() + body.size();
    const std::size_t pad =
        static_cast<std::size_t>(width) > length ? static_cast<std::size_t>(width) - length : 0;
    if (left) {
      out += sign + body + std::u16string(pad, u' ');
    } else if (zero && numeric) {
      out += sign + std::u16string(pad, u'0') + body;
    } else {
      out += std::u16string(pad, u' ') + sign + body;
    }
  }
  check_length();
  return out;
}

}  // namespace qxl::run
