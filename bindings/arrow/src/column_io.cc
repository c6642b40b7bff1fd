#include "column_io.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "python_text.h"

namespace morvo::arrow {

namespace {

void need(bool ok, const char* what) {
  if (!ok) throw MalformedArray(std::string("malformed Arrow array: ") + what);
}

bool bitAt(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// Checks the buffer count and the non-null buffers the layout needs; gives
// the validity bitmap, or null when every position is valid.
// Only the first `required` buffers must be present (a string view array's
// data and size buffers are checked where they are used).
const uint8_t* validityOf(const ArrowArray& array, int64_t buffers, int64_t required) {
  need(array.length >= 0 && array.offset >= 0, "negative length or offset");
  need(array.n_buffers == buffers, "unexpected number of buffers");
  need(array.n_buffers == 0 || array.buffers != nullptr, "missing buffer list");
  for (int64_t b = 1; b < required; ++b) need(array.buffers[b] != nullptr || array.length == 0, "missing buffer");
  if (buffers == 0 || array.null_count == 0) return nullptr;
  return static_cast<const uint8_t*>(array.buffers[0]);
}

template <class T>
T load(const void* buffer, int64_t i) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return value;
}

Input intInput(const void* values, const ColumnType& type, int64_t i) {
  if (type.isSigned) {
    int64_t v = type.bits == 8    ? load<int8_t>(values, i)
                : type.bits == 16 ? load<int16_t>(values, i)
                : type.bits == 32 ? load<int32_t>(values, i)
                                  : load<int64_t>(values, i);
    return input::Int{Integer::fromI64(v)};
  }
  uint64_t v = type.bits == 8    ? load<uint8_t>(values, i)
               : type.bits == 16 ? load<uint16_t>(values, i)
               : type.bits == 32 ? load<uint32_t>(values, i)
                                 : load<uint64_t>(values, i);
  return input::Int{Integer::fromMagnitude(false, Limbs(v))};
}

// A two's-complement little-endian decimal of `words` 64-bit words.
Input decimalInput(const void* values, const ColumnType& type, int64_t i) {
  const int words = type.bits / 64;
  uint64_t limbs[4];
  std::memcpy(limbs, static_cast<const uint8_t*>(values) + i * words * 8, static_cast<size_t>(words) * 8);
  const bool negative = limbs[words - 1] >> 63;
  if (negative) {
    uint64_t carry = 1;
    for (int w = 0; w < words; ++w) {
      limbs[w] = ~limbs[w] + carry;
      carry = carry && limbs[w] == 0;
    }
  }
  Limbs magnitude;
  for (int w = 0; w < words; ++w) magnitude.push(limbs[w]);
  magnitude.trim();
  return input::Decimal{decimalStr(negative, magnitude, type.scale)};
}

Input textInput(std::string_view bytes) {
  need(validUtf8(bytes), "a string is not valid UTF-8");
  return input::Text{Text(bytes.data(), bytes.size())};
}

template <class Offset>
void readOffsetTexts(const ArrowArray& array, const uint8_t* validity, Vec<Input>& out) {
  const auto* offsets = static_cast<const Offset*>(array.buffers[1]);
  const auto* data = static_cast<const char*>(array.buffers[2]);
  if (array.length == 0) return;
  const Offset* at = offsets + array.offset;
  need(at[0] >= 0, "negative offset");
  for (int64_t i = 0; i < array.length; ++i) {
    need(at[i + 1] >= at[i], "offsets out of order");
    if (validity && !bitAt(validity, array.offset + i)) {
      out.push_back(input::None{});
      continue;
    }
    out.push_back(textInput(std::string_view(data + at[i], static_cast<size_t>(at[i + 1] - at[i]))));
  }
}

void readViewTexts(const ArrowArray& array, const uint8_t* validity, Vec<Input>& out) {
  const int64_t variadic = array.n_buffers - 3;
  const auto* views = static_cast<const uint8_t*>(array.buffers[1]);
  const auto* sizes = static_cast<const int64_t*>(array.buffers[array.n_buffers - 1]);
  need(variadic == 0 || sizes != nullptr, "missing buffer sizes");
  for (int64_t i = 0; i < array.length; ++i) {
    const int64_t p = array.offset + i;
    if (validity && !bitAt(validity, p)) {
      out.push_back(input::None{});
      continue;
    }
    const uint8_t* view = views + p * 16;
    int32_t length;
    std::memcpy(&length, view, 4);
    need(length >= 0, "negative string length");
    if (length <= 12) {
      out.push_back(textInput(std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<size_t>(length))));
      continue;
    }
    int32_t buffer, offset;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    need(buffer >= 0 && buffer < variadic && offset >= 0, "string view out of range");
    need(static_cast<int64_t>(offset) + length <= sizes[buffer], "string view out of range");
    const auto* data = static_cast<const char*>(array.buffers[2 + buffer]);
    need(data != nullptr, "missing buffer");
    out.push_back(textInput(std::string_view(data + offset, static_cast<size_t>(length))));
  }
}

}  // namespace

void readInputs(const ArrowArray& array, const ColumnType& type, bool numbers, Vec<Input>& out) {
  out.reserve(out.size() + static_cast<size_t>(std::max<int64_t>(array.length, 0)));
  if (type.kind == Kind::Null) {
    need(array.length >= 0, "negative length");
    out.resize(out.size() + static_cast<size_t>(array.length), input::None{});
    return;
  }
  if (type.kind == Kind::Text) {
    if (type.text == TextLayout::View) {
      need(array.n_buffers >= 3, "unexpected number of buffers");
      const uint8_t* validity = validityOf(array, array.n_buffers, 2);
      readViewTexts(array, validity, out);
    } else {
      const uint8_t* validity = validityOf(array, 3, 3);
      if (type.text == TextLayout::Offsets32) {
        readOffsetTexts<int32_t>(array, validity, out);
      } else {
        readOffsetTexts<int64_t>(array, validity, out);
      }
    }
    return;
  }
  const uint8_t* validity = validityOf(array, 2, 2);
  const void* values = array.buffers[1];
  for (int64_t i = 0; i < array.length; ++i) {
    const int64_t p = array.offset + i;
    if (validity && !bitAt(validity, p)) {
      out.push_back(input::None{});
      continue;
    }
    switch (type.kind) {
      case Kind::Bool:
        out.push_back(input::Bool{});
        break;
      case Kind::Int:
        out.push_back(intInput(values, type, p));
        break;
      case Kind::Float: {
        if (!numbers) {
          out.push_back(input::Other{});
          break;
        }
        double v = type.bits == 32 ? static_cast<double>(load<float>(values, p)) : load<double>(values, p);
        out.push_back(input::Float{v, floatRepr(v)});
        break;
      }
      case Kind::Decimal:
        out.push_back(numbers ? decimalInput(values, type, p) : Input{input::Other{}});
        break;
      default:
        out.push_back(input::Other{});
    }
  }
}

ColumnType outputType(const ColumnType& input, bool givesText) {
  if (!givesText) return input;
  const bool large = input.kind == Kind::Text && input.text == TextLayout::Offsets64;
  return ColumnType{Kind::Text, 0, true, 0, 0, large ? TextLayout::Offsets64 : TextLayout::Offsets32};
}

namespace {

bool fitsInt(const Integer& value, const ColumnType& type) {
  const Limbs& m = value.magnitude;
  if (m.size() > 1) return false;
  if (m.empty()) return true;
  const uint64_t v = m[0];
  if (!type.isSigned) return !value.negative() && (type.bits == 64 || v < (uint64_t{1} << type.bits));
  const uint64_t limit = uint64_t{1} << (type.bits - 1);  // |min|; max is limit - 1
  return value.negative() ? v <= limit : v < limit;
}

bool fits(const ColumnType& type, const Output& output) {
  switch (type.kind) {
    case Kind::Int:
      if (auto* v = std::get_if<output::Int>(&output)) return fitsInt(v->value, type);
      return true;
    case Kind::Float:
      if (auto* v = std::get_if<output::Float>(&output)) {
        return type.bits == 64 || !std::isfinite(v->value) ||
               std::isfinite(static_cast<float>(v->value));
      }
      return true;
    case Kind::Decimal:
      if (auto* v = std::get_if<output::Decimal>(&output)) {
        return scaledDecimal(v->text, type.scale, type.precision).has_value();
      }
      return true;
    default:
      return true;
  }
}

[[noreturn]] void unexpected() { throw std::logic_error("an output of a kind its column cannot hold"); }

bool isNull(const Output& output) {
  return std::holds_alternative<output::None>(output) || std::holds_alternative<Fallback>(output) ||
         std::holds_alternative<Refused>(output);
}

template <class T>
void store(void* buffer, size_t i, T value) {
  std::memcpy(static_cast<uint8_t*>(buffer) + i * sizeof(T), &value, sizeof(T));
}

void storeInt(void* values, const ColumnType& type, size_t i, const Integer& value) {
  const uint64_t magnitude = value.magnitude.empty() ? 0 : value.magnitude[0];
  const uint64_t bits = value.negative() ? 0 - magnitude : magnitude;  // two's complement
  switch (type.bits) {
    case 8: store<uint8_t>(values, i, static_cast<uint8_t>(bits)); break;
    case 16: store<uint16_t>(values, i, static_cast<uint16_t>(bits)); break;
    case 32: store<uint32_t>(values, i, static_cast<uint32_t>(bits)); break;
    default: store<uint64_t>(values, i, bits); break;
  }
}

void storeDecimal(void* values, const ColumnType& type, size_t i, std::string_view text) {
  auto scaled = scaledDecimal(text, type.scale, type.precision);
  if (!scaled) unexpected();
  const int words = type.bits / 64;
  uint64_t limbs[4] = {0, 0, 0, 0};
  for (size_t w = 0; w < scaled->magnitude.size() && w < 4; ++w) limbs[w] = scaled->magnitude[w];
  if (scaled->negative) {
    uint64_t carry = 1;
    for (int w = 0; w < words; ++w) {
      limbs[w] = ~limbs[w] + carry;
      carry = carry && limbs[w] == 0;
    }
  }
  std::memcpy(static_cast<uint8_t*>(values) + i * static_cast<size_t>(words) * 8, limbs, static_cast<size_t>(words) * 8);
}

// Texts written with offsets of type Offset, or as views.
template <class Offset>
void writeOffsetTexts(OwnedBlocks& blocks, ArrayData& data, std::span<const Output> outputs) {
  size_t total = 0;
  for (const Output& output : outputs) {
    if (auto* v = std::get_if<output::Text>(&output)) total += v->text.size();
  }
  if (total > static_cast<size_t>(std::numeric_limits<Offset>::max())) {
    throw std::overflow_error("the masked texts exceed what a utf8 array can hold (2 GiB)");
  }
  auto* offsets = static_cast<Offset*>(blocks.allocate((outputs.size() + 1) * sizeof(Offset)));
  auto* bytes = static_cast<char*>(blocks.allocate(total));
  size_t at = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    offsets[i] = static_cast<Offset>(at);
    if (auto* v = std::get_if<output::Text>(&outputs[i])) {
      std::memcpy(bytes + at, v->text.data(), v->text.size());
      at += v->text.size();
    } else if (!isNull(outputs[i])) {
      unexpected();
    }
  }
  offsets[outputs.size()] = static_cast<Offset>(at);
  data.buffers.push_back(offsets);
  data.buffers.push_back(bytes);
}

void writeViewTexts(OwnedBlocks& blocks, ArrayData& data, std::span<const Output> outputs) {
  size_t total = 0;
  for (const Output& output : outputs) {
    if (auto* v = std::get_if<output::Text>(&output); v && v->text.size() > 12) total += v->text.size();
  }
  if (total > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("the masked texts exceed what one view buffer can hold (2 GiB)");
  }
  auto* views = static_cast<uint8_t*>(blocks.allocate(outputs.size() * 16));
  auto* bytes = static_cast<char*>(blocks.allocate(total));
  auto* sizes = static_cast<int64_t*>(blocks.allocate(sizeof(int64_t)));
  sizes[0] = static_cast<int64_t>(total);
  int32_t at = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    auto* v = std::get_if<output::Text>(&outputs[i]);
    if (!v) {
      if (!isNull(outputs[i])) unexpected();
      continue;
    }
    uint8_t* view = views + i * 16;
    const auto length = static_cast<int32_t>(v->text.size());
    std::memcpy(view, &length, 4);
    if (length <= 12) {
      std::memcpy(view + 4, v->text.data(), v->text.size());
      continue;
    }
    const int32_t buffer = 0;
    std::memcpy(view + 4, v->text.data(), 4);
    std::memcpy(view + 8, &buffer, 4);
    std::memcpy(view + 12, &at, 4);
    std::memcpy(bytes + at, v->text.data(), v->text.size());
    at += length;
  }
  data.buffers.push_back(views);
  data.buffers.push_back(bytes);
  data.buffers.push_back(sizes);
}

}  // namespace

void fitOutputs(const ColumnType& type, std::span<Output> outputs) {
  for (Output& output : outputs) {
    if (!fits(type, output)) output = Fallback{};
  }
}

ArrayPtr writeOutputs(const ColumnType& type, std::span<const Output> outputs) {
  auto blocks = std::make_shared<OwnedBlocks>();
  auto data = std::make_shared<ArrayData>();
  const size_t n = outputs.size();
  data->length = static_cast<int64_t>(n);
  if (type.kind == Kind::Null) {
    data->nullCount = data->length;
    return data;
  }
  auto* validity = static_cast<uint8_t*>(blocks->allocate((n + 7) / 8));
  int64_t nulls = 0;
  for (size_t i = 0; i < n; ++i) {
    if (isNull(outputs[i])) {
      ++nulls;
    } else {
      validity[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    }
  }
  data->nullCount = nulls;
  data->buffers.push_back(nulls ? validity : nullptr);

  switch (type.kind) {
    case Kind::Text:
      if (type.text == TextLayout::Offsets32) {
        writeOffsetTexts<int32_t>(*blocks, *data, outputs);
      } else if (type.text == TextLayout::Offsets64) {
        writeOffsetTexts<int64_t>(*blocks, *data, outputs);
      } else {
        writeViewTexts(*blocks, *data, outputs);
      }
      break;
    case Kind::Bool: {
      data->buffers.push_back(blocks->allocate((n + 7) / 8));  // no strategy answers a bool
      for (const Output& output : outputs) {
        if (!isNull(output)) unexpected();
      }
      break;
    }
    default: {
      const size_t width = type.kind == Kind::Decimal ? static_cast<size_t>(type.bits / 8)
                                                      : static_cast<size_t>(type.bits / 8);
      void* values = blocks->allocate(n * width);
      for (size_t i = 0; i < n; ++i) {
        const Output& output = outputs[i];
        if (isNull(output)) continue;
        if (type.kind == Kind::Int) {
          auto* v = std::get_if<output::Int>(&output);
          if (!v) unexpected();
          storeInt(values, type, i, v->value);
        } else if (type.kind == Kind::Float) {
          auto* v = std::get_if<output::Float>(&output);
          if (!v) unexpected();
          if (type.bits == 32) {
            store<float>(values, i, static_cast<float>(v->value));
          } else {
            store<double>(values, i, v->value);
          }
        } else {
          auto* v = std::get_if<output::Decimal>(&output);
          if (!v) unexpected();
          storeDecimal(values, type, i, v->text);
        }
      }
      data->buffers.push_back(values);
    }
  }
  data->owner = std::move(blocks);
  return data;
}

}  // namespace morvo::arrow
