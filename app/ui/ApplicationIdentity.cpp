#include "app/ui/ApplicationIdentity.h"

#include <fstream>
#include <string>
#include <vector>

namespace corvantis {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A desktop entry value's own escapes: \s, \n, \t, \r and \\.
std::string unescapeValue(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        default: // "\\" and escapes the Exec quoting undoes later keep their backslash
            if (value[i] != '\\')
                out += '\\';
            out += value[i];
            break;
        }
    }
    return out;
}

// The words of an Exec value: blanks separate them, double quotes group them (inside, a backslash keeps the
// next character), and a word that is a field code alone is dropped; "%%" stands for "%".
std::vector<std::string> execWords(std::string_view exec)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    bool wasFieldCode = false;
    auto finish = [&] {
        if (inWord && !wasFieldCode)
            words.push_back(word);
        word.clear();
        inWord = false;
        wasFieldCode = false;
    };
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
            else if (c == '\\' && i + 1 < exec.size())
                word += exec[++i];
            else
                word += c;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            finish();
            continue;
        }
        if (c == '"') {
            quoted = true;
            inWord = true;
            continue;
        }
        if (c == '%' && i + 1 < exec.size()) {
            const char code = exec[++i];
            if (code == '%') {
                word += '%';
            } else if (!inWord) {
                // A field code is an argument of its own; it is dropped when nothing else is in its word.
                const bool alone = i + 1 == exec.size() || exec[i + 1] == ' ' || exec[i + 1] == '\t';
                wasFieldCode = alone;
            }
            inWord = true;
            continue;
        }
        word += c;
        inWord = true;
    }
    finish();
    return words;
}

bool isAssignment(const std::string& word)
{
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    for (std::size_t i = 0; i < equals; ++i) {
        const char c = word[i];
        const bool nameChar
            = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (i > 0 && c >= '0' && c <= '9');
        if (!nameChar)
            return false;
    }
    return true;
}

std::optional<std::string> execValueOf(const std::filesystem::path& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        const std::string_view text = trim(line);
        if (text.empty() || text.front() == '#')
            continue;
        if (text.front() == '[') {
            inMainGroup = text == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const auto equals = text.find('=');
        if (equals != std::string_view::npos && trim(text.substr(0, equals)) == "Exec")
            return unescapeValue(trim(text.substr(equals + 1)));
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> ProgramOfExecLine(std::string_view exec)
{
    for (const std::string& word : execWords(exec)) {
        if (isAssignment(word))
            continue;
        std::string program = std::filesystem::path(word).filename().string();
        if (program == "env")
            continue;
        if (program.empty())
            return std::nullopt;
        return program;
    }
    return std::nullopt;
}

std::optional<ApplicationIdentity> ReadApplicationIdentity(const std::filesystem::path& path)
{
    if (path.extension() == ".desktop") {
        const std::optional<std::string> exec = execValueOf(path);
        if (!exec)
            return std::nullopt;
        const std::optional<std::string> program = ProgramOfExecLine(*exec);
        if (!program)
            return std::nullopt;
        return ApplicationIdentity { *program, std::filesystem::path(*program).stem().string(), *program };
    }
    const std::string name = path.filename().string();
    if (name.empty())
        return std::nullopt;
    return ApplicationIdentity { name, path.filename().stem().string(), name };
}

} // namespace corvantis
