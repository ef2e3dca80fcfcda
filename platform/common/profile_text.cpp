// Profile (INI) text with the Windows rules.
#include "profile_text.h"

#include <vector>

#include "ascii.h"

namespace platform::profile {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s)
{
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && (IsBlank(s[end - 1]) || s[end - 1] == '\r'))
        --end;
    return s.substr(begin, end - begin);
}

struct Line {
    size_t begin;         // offset of the line in the text
    size_t end;           // offset after its line end
    std::string content;  // without the line end
};

std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        std::string content = text.substr(pos, (nl == std::string::npos ? text.size() : nl) - pos);
        if (!content.empty() && content.back() == '\r')
            content.pop_back();
        lines.push_back(Line{pos, end, content});
        pos = end;
    }
    return lines;
}

// The name of a section header line, or nullopt when the line is not one.
std::optional<std::string> SectionName(const std::string& line)
{
    std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return std::nullopt;
    size_t close = t.find(']');
    return Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

bool IsComment(const std::string& line)
{
    std::string t = Trim(line);
    return !t.empty() && t[0] == ';';
}

// Splits a key line into its trimmed name and trimmed raw value.
bool KeyLine(const std::string& line, std::string* name, std::string* value)
{
    std::string t = Trim(line);
    if (t.empty() || IsComment(line) || SectionName(line))
        return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;  // a line without '=' holds no value
    *name = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

std::string Unquote(const std::string& value)
{
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        return value.substr(1, value.size() - 2);
    return value;
}

// Index of the first header line of the section, or -1.
long FindSection(const std::vector<Line>& lines, const std::string& section)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionName(lines[i].content);
        if (name && SameNameIgnoringCase(*name, section))
            return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

std::optional<std::string> Find(const std::string& text, const std::string& section, const std::string& key)
{
    std::vector<Line> lines = SplitLines(text);
    long header = FindSection(lines, Trim(section));
    if (header < 0)
        return std::nullopt;
    std::string wanted = Trim(key);
    for (size_t i = static_cast<size_t>(header) + 1; i < lines.size(); ++i) {
        if (SectionName(lines[i].content))
            break;
        std::string name, value;
        if (KeyLine(lines[i].content, &name, &value) && SameNameIgnoringCase(name, wanted))
            return Unquote(value);
    }
    return std::nullopt;
}

std::string Set(const std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    std::vector<Line> lines = SplitLines(text);
    std::string eol = "\r\n";
    if (!lines.empty()) {
        const std::string& first = text.substr(lines[0].begin, lines[0].end - lines[0].begin);
        if (first.size() >= 1 && first.back() == '\n' && (first.size() < 2 || first[first.size() - 2] != '\r'))
            eol = "\n";
    }
    std::string wantedSection = Trim(section);
    std::string wantedKey = Trim(key);
    std::string keyLine = wantedKey + "=" + value + eol;

    long header = FindSection(lines, wantedSection);
    if (header < 0) {
        std::string out = text;
        if (!out.empty() && out.back() != '\n')
            out += eol;
        return out + "[" + wantedSection + "]" + eol + keyLine;
    }
    // The section runs to the next header; a new key goes after its last non-blank line.
    size_t insertAt = lines[static_cast<size_t>(header)].end;
    for (size_t i = static_cast<size_t>(header) + 1; i < lines.size(); ++i) {
        if (SectionName(lines[i].content))
            break;
        std::string name, raw;
        if (KeyLine(lines[i].content, &name, &raw) && SameNameIgnoringCase(name, wantedKey))
            return text.substr(0, lines[i].begin) + keyLine + text.substr(lines[i].end);
        if (!Trim(lines[i].content).empty())
            insertAt = lines[i].end;
    }
    std::string before = text.substr(0, insertAt);
    if (!before.empty() && before.back() != '\n')
        before += eol;
    return before + keyLine + text.substr(insertAt);
}

unsigned CopyOut(const std::string& value, char* buffer, unsigned size)
{
    if (size == 0)
        return 0;
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    value.copy(buffer, n);
    buffer[n] = '\0';
    return static_cast<unsigned>(n);
}

unsigned GetString(const std::optional<std::string>& text, const char* section, const char* key,
                   const char* defaultValue, char* buffer, unsigned size)
{
    if (text && section != nullptr && key != nullptr) {
        if (auto value = Find(*text, section, key))
            return CopyOut(*value, buffer, size);
    }
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ')
        fallback.pop_back();
    return CopyOut(fallback, buffer, size);
}

}  // namespace platform::profile
