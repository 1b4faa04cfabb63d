#include "cue/parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace trakmap {

namespace {

// A line is read with at most this many characters; a longer line arrives
// in pieces, each counted as a line of its own.
constexpr int kLineCharacters = 510;
constexpr std::size_t kMaxFileNameLength = 255;
constexpr std::size_t kMaxMessageBytes = 512;
// No cue sheet comes near this; a sheet that goes on past it is not one (a
// device that never ends, a file named by mistake) and is refused.
constexpr std::uint64_t kMaxSheetBytes = std::uint64_t{64} << 20;
constexpr std::size_t kReadBlockBytes = 64 * 1024;

// The bytes of the sheet, read in blocks, with a UTF-8 byte-order mark at
// the very start taken away.
struct SheetStream {
    std::FILE* stream;
    std::vector<unsigned char> block;
    std::size_t next = 0;
    std::size_t end = 0;
    std::uint64_t total = 0;  // bytes read from the stream so far
    bool tooLong = false;
    bool failed = false;
};

// False at the end of the stream, after a read error, or past kMaxSheetBytes.
bool refill(SheetStream& in) {
    if (in.tooLong || in.failed) return false;
    in.next = 0;
    in.end = std::fread(in.block.data(), 1, in.block.size(), in.stream);
    in.total += in.end;
    if (in.total > kMaxSheetBytes) {
        in.tooLong = true;
        in.end = 0;
    }
    if (in.end == 0 && std::ferror(in.stream)) in.failed = true;
    return in.end > 0;
}

int nextChar(SheetStream& in) {
    if (in.next == in.end && !refill(in)) return EOF;
    return in.block[in.next++];
}

// A line feed right after a carriage return belongs to the same line end.
void skipLineFeedAfterCarriageReturn(SheetStream& in) {
    if (in.next == in.end && !refill(in)) return;
    if (in.block[in.next] == '\n') ++in.next;
}

// Returns true when the stream began with a UTF-8 byte-order mark.
bool skipByteOrderMark(SheetStream& in) {
    static constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
    // A block read delivers all it asks for unless the stream ends first.
    if (!refill(in) || in.end < 3 || !std::equal(kBom, kBom + 3, in.block.begin())) return false;
    in.next = 3;
    return true;
}

// Reads the text of one line into `line`, without its end: a line feed, a
// carriage return, or the two together. After kLineCharacters characters of
// text the piece ends there and the rest of the line arrives as the next
// piece. False at the end of the stream when nothing was read.
bool readLine(SheetStream& in, char* line) {
    int count = 0;
    bool any = false;
    while (count < kLineCharacters) {
        int c = nextChar(in);
        if (c == EOF) break;
        any = true;
        if (c == '\n') break;
        if (c == '\r') {
            skipLineFeedAfterCarriageReturn(in);
            break;
        }
        line[count++] = static_cast<char>(c);
    }
    line[count] = 0;
    return any;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

char* skipBlanks(char* p) {
    while (isBlank(*p)) ++p;
    return p;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

// The next token: a double-quoted text (without its quotes) or a word up to
// the next blank. `rest` moves past it. Null when the line has ended or a
// quote is not closed.
char* nextToken(char*& rest) {
    char* p = skipBlanks(rest);
    if (*p == 0) return nullptr;
    if (*p == '"') {
        char* close = std::strchr(p + 1, '"');
        if (close == nullptr) return nullptr;
        *close = 0;
        rest = close + 1;
        return p + 1;
    }
    char* end = p;
    while (*end != 0 && !isBlank(*end)) ++end;
    if (*end != 0) {
        *end = 0;
        rest = end + 1;
    } else {
        rest = end;
    }
    return p;
}

// A text value: everything between the first and the last double quote of
// the line, or the rest of the line without trailing blanks. Null when the
// line has ended or the opening quote has no partner.
char* readValue(char* rest) {
    char* p = skipBlanks(rest);
    if (*p == 0) return nullptr;
    if (*p == '"') {
        char* last = std::strrchr(p, '"');
        if (last == p) return nullptr;
        *last = 0;
        return p + 1;
    }
    char* end = p + std::strlen(p);
    while (end > p && isBlank(end[-1])) --end;
    *end = 0;
    return p;
}

// mm:ss:ff read as the formatted scan reads it: at most two digits a number,
// leading blanks and a sign accepted, parts that do not match stay 0.
std::int32_t readTime(const char* text) {
    int minutes = 0, seconds = 0, frames = 0;
    std::sscanf(text, "%02d:%02d:%02d", &minutes, &seconds, &frames);
    return (minutes * 60 + seconds) * 75 + frames;
}

// A decimal number as atoi reads it, clamped instead of overflowing.
std::int32_t readNumber(const char* text) {
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(value);
}

struct Parser {
    CueSheet& sheet;
    std::string* problem;
    int lineNumber = 0;
    int currentTrack = -1;  // -1: the disc record
    std::int32_t currentFile = -1;
    std::int32_t session = 1;
    std::int32_t lastIndexNumberInFile = -1;
    std::int32_t lastIndexPositionInFile = -1;
    std::int32_t lastIndexNumberInTrack = -1;

    CueTrack& current() { return currentTrack < 0 ? sheet.disc : sheet.tracks[currentTrack]; }

    // An absent text for an empty value, else a copy in the sheet's arena.
    CueText copyText(const char* value) {
        if (*value == 0) return nullptr;
        return arenaCopy(sheet.arena, value);
    }

    bool showError(const char* lineText) {
        // Very long leading blanks are cut so the message stays within its bytes.
        std::string message = "Error to parse .cue, line " + std::to_string(lineNumber) + ": " + lineText;
        if (message.size() >= kMaxMessageBytes) message.resize(kMaxMessageBytes - 1);
        platformShowError(message.c_str());
        return false;
    }

    bool failReading(const char* why) {
        if (problem != nullptr) *problem = why;
        return false;
    }

    bool failSilently(const std::string& why) {
        if (problem != nullptr) *problem = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    }

    void handleRemWord(const char* word, char* rest) {
        CueText* target = nullptr;
        if (equalsIgnoringCase(word, "LEAD-OUT")) {
            current().leadOut = readTime(rest);
            return;
        }
        if (equalsIgnoringCase(word, "SESSION")) {
            session = readNumber(rest);
            return;
        }
        if (equalsIgnoringCase(word, "DISCID")) target = &sheet.discId;
        else if (equalsIgnoringCase(word, "GENRE")) target = &sheet.genre;
        else if (equalsIgnoringCase(word, "DATE")) target = &sheet.date;
        else if (equalsIgnoringCase(word, "COMMENT")) target = &sheet.comment;
        if (target == nullptr) return;
        if (const char* value = readValue(rest)) *target = copyText(value);
    }

    CueText* textField(const char* keyword) {
        CueTrack& record = current();
        if (equalsIgnoringCase(keyword, "TITLE")) return &record.title;
        if (equalsIgnoringCase(keyword, "PERFORMER")) return &record.performer;
        if (equalsIgnoringCase(keyword, "SONGWRITER")) return &record.songwriter;
        if (equalsIgnoringCase(keyword, "COMPOSER")) return &record.composer;
        if (equalsIgnoringCase(keyword, "ARRANGER")) return &record.arranger;
        if (equalsIgnoringCase(keyword, "MESSAGE")) return &record.message;
        return nullptr;
    }

    bool handleFile(const char* lineText, char* rest) {
        const char* name = nextToken(rest);
        if (name == nullptr) return showError(lineText);
        std::size_t length = std::strlen(name);
        if (length > kMaxFileNameLength)
            return failSilently("the FILE name is " + std::to_string(length) +
                                " characters long; at most 255 are allowed");
        CueText copy = copyText(name);
        const char* type = nextToken(rest);
        if (type == nullptr) return showError(lineText);
        CueFile file;
        file.name = copy;
        file.type = fileTypeFromWord(type);
        currentFile = static_cast<std::int32_t>(sheet.files.size());
        sheet.files.push_back(std::move(file));
        lastIndexNumberInFile = -1;
        lastIndexPositionInFile = -1;
        return true;
    }

    bool handleTrack(const char* lineText, char* rest) {
        if (nextToken(rest) == nullptr) return showError(lineText);
        const char* type = nextToken(rest);
        if (type == nullptr) return showError(lineText);
        CueTrack track;
        track.session = session;
        track.type = trackTypeFromWord(type);
        track.sectorSize = sectorSizeOf(track.type);
        sheet.tracks.push_back(track);
        currentTrack = static_cast<int>(sheet.tracks.size()) - 1;
        lastIndexNumberInTrack = -1;
        return true;
    }

    bool handleIndex(const char* lineText, char* rest) {
        const char* numberText = nextToken(rest);
        if (numberText == nullptr) return showError(lineText);
        const char* timeText = nextToken(rest);
        if (timeText == nullptr) return showError(lineText);
        std::int32_t number = readNumber(numberText);
        std::int32_t position = readTime(timeText);
        if (lastIndexNumberInFile == -1 && position != 0)
            return failSilently("the first INDEX of a file must lie at 00:00:00, not at " +
                                formatMsf(position));
        if (lastIndexNumberInFile != -1 && position <= lastIndexPositionInFile)
            return failSilently("INDEX positions must rise within a file: " + formatMsf(position) +
                                " does not come after " + formatMsf(lastIndexPositionInFile));
        lastIndexNumberInFile = number;
        lastIndexPositionInFile = position;
        if (lastIndexNumberInTrack != -1 && std::int64_t{number} != std::int64_t{lastIndexNumberInTrack} + 1)
            return failSilently("INDEX numbers must run on by one within a track: INDEX " +
                                std::to_string(number) + " follows INDEX " +
                                std::to_string(lastIndexNumberInTrack));
        lastIndexNumberInTrack = number;
        CueTrack& record = current();
        if (number == 0) {
            record.index0 = position;
            record.index0File = currentFile;
        } else if (number == 1) {
            record.index1 = position;
            record.index1File = currentFile;
        }
        return true;
    }

    bool handleGap(const char* lineText, char* rest, std::int32_t CueTrack::*field) {
        const char* timeText = nextToken(rest);
        if (timeText == nullptr) return showError(lineText);
        current().*field = readTime(timeText);
        return true;
    }

    // Acts on one line; false ends the parse.
    bool handleLine(char* line) {
        char* keyword = skipBlanks(line);
        if (*keyword == 0) return true;
        char* rest = keyword;
        while (*rest != 0 && !isBlank(*rest)) ++rest;
        if (*rest != 0) *rest++ = 0;
        // From here the line's text, as a message shows it, is its leading
        // blanks and the keyword.
        const char* lineText = line;

        if (equalsIgnoringCase(keyword, "REM")) {
            if (const char* word = nextToken(rest)) handleRemWord(word, rest);
            return true;
        }
        if (equalsIgnoringCase(keyword, "CATALOG")) {
            const char* value = readValue(rest);
            if (value != nullptr && std::strlen(value) >= 13)
                sheet.disc.isrc = arenaCopy(sheet.arena, std::string_view(value, 13));
            return true;
        }
        if (equalsIgnoringCase(keyword, "CDTEXTFILE")) {
            const char* name = nextToken(rest);
            if (name == nullptr) return showError(lineText);
            sheet.cdTextFile = copyText(name);
            return true;
        }
        if (equalsIgnoringCase(keyword, "FILE")) return handleFile(lineText, rest);
        if (equalsIgnoringCase(keyword, "TRACK")) return handleTrack(lineText, rest);
        if (CueText* field = textField(keyword)) {
            if (const char* value = readValue(rest)) *field = copyText(value);
            return true;
        }
        if (equalsIgnoringCase(keyword, "ISRC")) {
            if (const char* value = readValue(rest))
                current().isrc = arenaCopy(sheet.arena, std::string_view(value, std::min<std::size_t>(std::strlen(value), 12)));
            return true;
        }
        if (equalsIgnoringCase(keyword, "INDEX")) return handleIndex(lineText, rest);
        if (equalsIgnoringCase(keyword, "PREGAP")) return handleGap(lineText, rest, &CueTrack::pregap);
        if (equalsIgnoringCase(keyword, "POSTGAP")) return handleGap(lineText, rest, &CueTrack::postgap);
        // Any other word acts as a REM sub-keyword (a bare GENRE line sets the genre).
        handleRemWord(keyword, rest);
        return true;
    }
};

}  // namespace

bool parseCueSheet(std::FILE* stream, CueSheet& sheet, std::string* problem) {
    if (problem != nullptr) problem->clear();
    if (stream == nullptr) return false;
    SheetStream in{stream, std::vector<unsigned char>(kReadBlockBytes)};
    sheet.utf8 = skipByteOrderMark(in);
    Parser parser{sheet, problem};
    char line[kLineCharacters + 1];
    while (readLine(in, line)) {
        ++parser.lineNumber;
        if (!parser.handleLine(line)) return false;
    }
    if (in.tooLong) return parser.failReading("the sheet goes on past 64 MiB, more than any cue sheet holds");
    if (in.failed) return parser.failReading("the sheet cannot be read to its end");
    return true;
}

}  // namespace trakmap
