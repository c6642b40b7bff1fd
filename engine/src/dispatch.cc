// The one place where the kind of a value meets the strategy.
#include "strategy.h"

#include <algorithm>
#include <optional>

namespace morvo {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;  // for compilers without aggregate deduction

Output fromInteger(Outcome<Integer>&& outcome) {
  if (auto* value = std::get_if<Integer>(&outcome)) return output::Int{std::move(*value)};
  if (auto* refused = std::get_if<Refused>(&outcome)) return std::move(*refused);
  return Fallback{};
}

Output fromFloat(const Outcome<double>& outcome) {
  if (const auto* value = std::get_if<double>(&outcome)) return output::Float{*value};
  return Fallback{};  // the number strategy never refuses
}

Output fromText(Outcome<Text>&& outcome) {
  if (auto* value = std::get_if<Text>(&outcome)) return output::Text{std::move(*value)};
  if (auto* refused = std::get_if<Refused>(&outcome)) return std::move(*refused);
  return Fallback{};
}

Output refuse(const char* message) { return Refused{Text(message)}; }

// A text input's bytes, copied or borrowed; none for other kinds.
std::optional<std::string_view> textOf(const Input& input) {
  if (const auto* copied = std::get_if<input::Text>(&input)) return std::string_view(copied->text);
  if (const auto* borrowed = std::get_if<input::TextView>(&input)) return borrowed->text;
  return std::nullopt;
}

Output maskNumber(const NumberStrategy& number, const KeyedHash& hash, const Input& input) {
  if (auto* v = std::get_if<input::Int>(&input)) return fromInteger(number.maskInteger(hash, v->value));
  if (auto* v = std::get_if<input::Float>(&input)) return fromFloat(number.maskFloat(hash, v->value, v->repr));
  if (auto* v = std::get_if<input::Decimal>(&input)) {
    Outcome<Text> outcome = number.maskDecimal(hash, v->text);
    if (auto* value = std::get_if<Text>(&outcome)) return output::Decimal{std::move(*value)};
    return Fallback{};
  }
  return Fallback{};
}

}  // namespace

Output maskOne(const Strategy& strategy, const KeyedHash& hash, const Input& input) {
  if (std::holds_alternative<input::None>(input)) return output::None{};
  if (std::holds_alternative<input::Other>(input)) return Fallback{};
  if (auto* number = std::get_if<strategy::Number>(&strategy)) return maskNumber(*number->number, hash, input);
  if (std::holds_alternative<input::Float>(input) || std::holds_alternative<input::Decimal>(input)) {
    return Fallback{};
  }
  const bool isBool = std::holds_alternative<input::Bool>(input);
  const auto* integer = std::get_if<input::Int>(&input);
  // What is left is a text.
  const std::string_view text = textOf(input).value_or(std::string_view());

  return std::visit(
      Overloaded{
          [&](const strategy::Key& key) -> Output {
            if (isBool) return refuse("the key strategy cannot mask a bool");
            if (integer) return fromInteger(KeyStrategy::maskInteger(hash, integer->value));
            return fromText(KeyStrategy::maskText(key.charset, hash, text));
          },
          [&](const strategy::Fpe& fpe) -> Output {
            if (isBool) return refuse("the fpe strategy cannot mask a bool");
            if (integer) return fromInteger(fpe.fpe->maskInteger(hash, integer->value));
            return fromText(fpe.fpe->maskText(hash, text));
          },
          [&](const strategy::Hash& options) -> Output {
            if (isBool) return Fallback{};
            if (integer) return output::Text{maskHash(hash, decimalText(integer->value), options.length, options.prefix)};
            return output::Text{maskHash(hash, text, options.length, options.prefix)};
          },
          [&](const strategy::Email& options) -> Output {
            if (isBool || integer) return Fallback{};
            return fromText(maskEmail(hash, text, options.length, options.mailDomain, options.keepDomain));
          },
          [&](const strategy::Digits& options) -> Output {
            if (isBool) return refuse("the digits strategy needs text or an integer, got bool");
            if (integer) {
              return fromInteger(maskDigitsInteger(hash, integer->value, options.keepLeading, options.keepTrailing));
            }
            return fromText(maskDigitsText(hash, text, options.keepLeading, options.keepTrailing));
          },
          [&](const strategy::Fake& fake) -> Output {
            if (isBool) return Fallback{};
            if (integer) return output::Text{fake.fake->mask(hash, decimalText(integer->value))};
            return output::Text{fake.fake->mask(hash, text)};
          },
          [&](const strategy::Number&) -> Output { return Fallback{}; },  // handled above
      },
      strategy);
}

namespace {

// Strategies whose values start from one digest each, a chunk of values at
// a time (KeyedHash::digestMany): `message` gives a value's message to
// digest, kept with its state, or none to mask it alone; `finish` its
// output from the digest and the state.
template <class State, class Message, class Finish>
void maskDigests(const Strategy& strategy, const KeyedHash& hash, std::span<const Input> inputs,
                 std::span<const uint32_t> positions, Output* outputs, Message message, Finish finish) {
  constexpr size_t CHUNK = 32;
  State states[CHUNK];
  std::string_view messages[CHUNK];
  Digest digests[CHUNK];
  uint32_t at[CHUNK];
  for (size_t begin = 0; begin < positions.size(); begin += CHUNK) {
    size_t count = 0;
    for (uint32_t p : positions.subspan(begin, std::min(CHUNK, positions.size() - begin))) {
      const std::optional<std::string_view> m = message(inputs[p], states[count]);
      if (!m) {
        outputs[p] = maskOne(strategy, hash, inputs[p]);
        continue;
      }
      messages[count] = *m;
      at[count++] = p;
    }
    hash.digestMany(std::span<const std::string_view>(messages, count), label::NONE,
                    std::span<Digest>(digests, count));
    for (size_t i = 0; i < count; ++i) outputs[at[i]] = finish(digests[i], inputs[at[i]], states[i]);
  }
}

void maskHashes(const Strategy& strategy, const strategy::Hash& options, const KeyedHash& hash,
                std::span<const Input> inputs, std::span<const uint32_t> positions, Output* outputs) {
  auto message = [](const Input& input, Text& owned) -> std::optional<std::string_view> {
    if (const auto* integer = std::get_if<input::Int>(&input)) {
      owned = decimalText(integer->value);
      return std::string_view(owned);
    }
    return textOf(input);
  };
  auto finish = [&](const Digest& digest, const Input&, const Text&) -> Output {
    output::Text out;
    writeHashText(digest, options.length, options.prefix,
                  out.text.resize(hashTextSize(options.length, options.prefix)));
    return out;
  };
  maskDigests<Text>(strategy, hash, inputs, positions, outputs, message, finish);
}

void maskEmails(const Strategy& strategy, const strategy::Email& options, const KeyedHash& hash,
                std::span<const Input> inputs, std::span<const uint32_t> positions, Output* outputs) {
  auto message = [](const Input& input, Text& owned) -> std::optional<std::string_view> {
    const auto text = textOf(input);
    if (!text) return std::nullopt;
    std::optional<Text> lowered = emailMessage(*text);
    if (!lowered) return std::nullopt;  // masked alone: FALLBACK
    owned = std::move(*lowered);
    return std::string_view(owned);
  };
  auto finish = [&](const Digest& digest, const Input& input, const Text&) -> Output {
    const std::string_view domain = emailDomain(*textOf(input), options.mailDomain, options.keepDomain);
    output::Text out;
    writeEmailText(digest, options.length, domain, out.text.resize(emailTextSize(options.length, domain)));
    return out;
  };
  maskDigests<Text>(strategy, hash, inputs, positions, outputs, message, finish);
}

// The number strategy's fast path, its draws' digests taken together. A
// value the fast path leaves to the exact one is masked alone.
void maskNumbers(const Strategy& strategy, const NumberStrategy& number, const KeyedHash& hash,
                 std::span<const Input> inputs, std::span<const uint32_t> positions, Output* outputs) {
  auto message = [&](const Input& input, NumberDraft& draft) -> std::optional<std::string_view> {
    Prepared prepared = Prepared::exact;
    if (const auto* v = std::get_if<input::Int>(&input)) {
      prepared = number.prepareInteger(v->value, draft);
    } else if (const auto* v = std::get_if<input::Float>(&input)) {
      prepared = number.prepareFloat(v->value, v->repr, draft);
    } else if (const auto* v = std::get_if<input::Decimal>(&input)) {
      prepared = number.prepareDecimal(v->text, draft);
    }
    if (prepared != Prepared::ready) return std::nullopt;
    return draft.message();
  };
  auto finish = [&](const Digest& draw, const Input& input, const NumberDraft& draft) -> Output {
    if (std::holds_alternative<input::Int>(input)) {
      if (auto outcome = number.finishInteger(hash, draft, draw)) return fromInteger(std::move(*outcome));
    } else if (std::holds_alternative<input::Float>(input)) {
      if (auto outcome = number.finishFloat(hash, draft, draw)) return fromFloat(*outcome);
    } else if (auto outcome = number.finishDecimal(hash, draft, draw)) {
      const auto* value = std::get_if<WideDec>(&*outcome);
      if (!value) return Fallback{};
      char text[WIDE_TEXT];
      return output::Decimal{OutputText(std::string_view(text, wideText(*value, text)))};
    }
    return maskOne(strategy, hash, input);
  };
  maskDigests<NumberDraft>(strategy, hash, inputs, positions, outputs, message, finish);
}

}  // namespace

void maskMany(const Strategy& strategy, const KeyedHash& hash, std::span<const Input> inputs,
              std::span<const uint32_t> positions, Output* outputs) {
  if (const auto* options = std::get_if<strategy::Hash>(&strategy)) {
    return maskHashes(strategy, *options, hash, inputs, positions, outputs);
  }
  if (const auto* options = std::get_if<strategy::Email>(&strategy)) {
    return maskEmails(strategy, *options, hash, inputs, positions, outputs);
  }
  if (const auto* number = std::get_if<strategy::Number>(&strategy)) {
    return maskNumbers(strategy, *number->number, hash, inputs, positions, outputs);
  }
  const auto* key = std::get_if<strategy::Key>(&strategy);
  if (!key) {
    for (uint32_t p : positions) outputs[p] = maskOne(strategy, hash, inputs[p]);
    return;
  }
  // A chunk at a time: a text's walk holds about a kilobyte.
  constexpr size_t CHUNK = 32;
  KeyValue values[CHUNK];
  KeyOutcome outcomes[CHUNK];
  uint32_t at[CHUNK];
  for (size_t begin = 0; begin < positions.size(); begin += CHUNK) {
    size_t count = 0;
    for (uint32_t p : positions.subspan(begin, std::min(CHUNK, positions.size() - begin))) {
      const Input& input = inputs[p];
      if (const auto* integer = std::get_if<input::Int>(&input)) {
        values[count] = &integer->value;
      } else if (const auto text = textOf(input)) {
        values[count] = *text;
      } else {
        outputs[p] = maskOne(strategy, hash, input);
        continue;
      }
      at[count++] = p;
    }
    KeyStrategy::maskMany(key->charset, hash, std::span<const KeyValue>(values, count),
                          std::span<KeyOutcome>(outcomes, count));
    for (size_t i = 0; i < count; ++i) {
      if (auto* integer = std::get_if<Outcome<Integer>>(&outcomes[i])) {
        outputs[at[i]] = fromInteger(std::move(*integer));
      } else {
        outputs[at[i]] = fromText(std::move(std::get<Outcome<Text>>(outcomes[i])));
      }
    }
  }
}

}  // namespace morvo
