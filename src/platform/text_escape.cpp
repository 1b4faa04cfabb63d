#include "platform/text_escape.h"

#include <cstdint>

namespace trakmap {

namespace {

bool reportIsOnTerminal = false;

bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at the start of `text` (shortest form,
// no surrogates, at most U+10FFFF), or 0 when it does not start with one.
std::size_t utf8SequenceLength(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!isContinuation(byte(i))) return 0;
    return length;
}

bool isC0OrDelete(std::uint8_t byte, TextRule rule) {
    if (byte == '\t') return false;
    if (byte == '\n') return rule == TextRule::message;
    return byte < 0x20 || byte == 0x7F;
}

// U+0080 to U+009F, the C1 controls, encoded as UTF-8.
bool isUtf8C1(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<std::uint8_t>(sequence[0]) == 0xC2 &&
           static_cast<std::uint8_t>(sequence[1]) <= 0x9F;
}

void appendHex(std::string& out, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

void appendAllHex(std::string& out, std::string_view bytes) {
    for (char c : bytes) appendHex(out, static_cast<std::uint8_t>(c));
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text, TextRule rule) {
    if (rule == TextRule::asIs) {
        out += text;
        return;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<std::uint8_t>(text[i]);
        std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) {
            // Not UTF-8: in an 8-bit terminal 0x80-0x9F are C1 controls, and
            // no such byte may stand in a message.
            if (rule == TextRule::message || byte <= 0x9F) appendHex(out, byte);
            else out += static_cast<char>(byte);
            ++i;
            continue;
        }
        std::string_view sequence = text.substr(i, length);
        if ((length == 1 && isC0OrDelete(byte, rule)) || isUtf8C1(sequence)) appendAllHex(out, sequence);
        else out += sequence;
        i += length;
    }
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string escapedForMessage(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text, TextRule::message);
    return out;
}

void setReportOnTerminal(bool onTerminal) { reportIsOnTerminal = onTerminal; }

bool reportOnTerminal() { return reportIsOnTerminal; }

void writeReportText(std::FILE* out, std::string_view text) {
    if (!reportIsOnTerminal) {
        std::fwrite(text.data(), 1, text.size(), out);
        return;
    }
    std::string shown;
    appendEscaped(shown, text, TextRule::terminal);
    std::fwrite(shown.data(), 1, shown.size(), out);
}

}  // namespace trakmap
