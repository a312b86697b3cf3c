// Helpers of the qualified-statement tests: DER from hex text, a logger that keeps the
// order and severity of every line, and a property writer that renders its calls as text.
#pragma once

#include "CertTestUtil.h"
#include "DERBytes.h"
#include "Logger.h"
#include "PropertyWriter.h"
#include "X509LibLogger.h"

#include <deque>
#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace QCTest {

// "30 03 06 01 00" -> bytes; blanks are ignored.
inline std::vector<unsigned char> Hex(const std::string& text)
{
    std::vector<unsigned char> bytes;
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits += c;
    }
    if (digits.size() % 2)
        throw std::invalid_argument("odd hex: " + text);
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline TvrASN1::DERBytes Der(const std::string& hex)
{
    std::vector<unsigned char> bytes = Hex(hex);
    return TvrASN1::DERBytes(bytes.data(), bytes.size());
}

using CertTest::Der;

inline std::vector<unsigned char> Bytes(const TvrASN1::DERBytes& der)
{
    return std::vector<unsigned char>(der.GetData(), der.GetData() + der.GetSize());
}

// Installs itself as the X.509 library's logger; every line is kept in order with its
// stream: "E:" error, "W:" warning, "I:" information, "D:" debug, "L<n>:" Log(n).
class OrderedLog : public TvrLogger::ILogger {
public:
    OrderedLog() { TvrX509::SetLogger(this); }
    ~OrderedLog() { TvrX509::SetLogger(nullptr); }

    std::ostream& Debug(const std::string&, int) override { return Next("D:"); }
    std::ostream& Log(int level, const std::string&, int) override
    {
        return Next("L" + std::to_string(level) + ":");
    }
    std::ostream& Info(const std::string&, int) override { return Next("I:"); }
    std::ostream& Warn(const std::string&, int) override { return Next("W:"); }
    std::ostream& Error(const std::string&, int) override { return Next("E:"); }
    void Control(int) override {}
    bool IsActive() override { return true; }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const auto& [prefix, stream] : m_entries) {
            std::string text = stream.str();
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            lines.push_back(prefix + text);
        }
        return lines;
    }
    void Clear() { m_entries.clear(); }

private:
    std::ostream& Next(const std::string& prefix)
    {
        m_entries.emplace_back(prefix, std::ostringstream());
        return m_entries.back().second;
    }

    std::deque<std::pair<std::string, std::ostringstream>> m_entries;
};

// Renders every call as one line: "[Name a,b,c,'text']" opens a section, "[/Name]" closes
// it, "Name=value {attr=value} <a,b,'text'>" is a property.
class RecordingWriter : public TvrX509::IPropertyWriter {
public:
    RecordingWriter() : m_lines(std::make_shared<std::vector<std::string>>()) {}

    std::unique_ptr<IPropertyWriter> AddSection(const std::string& name,
                                                const TvrX509::PropertyAttributes&,
                                                const TvrX509::SectionFormat& format) override
    {
        std::ostringstream line;
        line << "[" << name << " " << format.value1 << "," << format.value2 << ","
             << format.value3 << ",'" << format.text << "']";
        m_lines->push_back(line.str());
        return std::unique_ptr<IPropertyWriter>(new RecordingWriter(m_lines, name));
    }

    void AddProperty(const std::string& name, const TvrX509::PropertyValue& value,
                     const TvrX509::PropertyAttributes& attributes,
                     const TvrX509::PropertyFormat& format) override
    {
        std::ostringstream line;
        line << name << "=" << Render(value);
        if (!attributes.empty()) {
            line << " {";
            for (const auto& [key, attribute] : attributes)
                line << key << "=" << Render(attribute);
            line << "}";
        }
        if (format.value1 || format.value2 || !format.text.empty())
            line << " <" << format.value1 << "," << format.value2 << ",'" << format.text << "'>";
        m_lines->push_back(line.str());
    }

    ~RecordingWriter() override
    {
        if (!m_section.empty())
            m_lines->push_back("[/" + m_section + "]");
    }

    const std::vector<std::string>& Lines() const { return *m_lines; }

private:
    RecordingWriter(std::shared_ptr<std::vector<std::string>> lines, std::string section)
        : m_lines(std::move(lines)), m_section(std::move(section))
    {
    }

    static std::string Render(const TvrX509::PropertyValue& value)
    {
        std::ostringstream text;
        text.imbue(std::locale::classic());
        switch (value.type) {
        case 1: text << "'" << value.value.text << "'"; break;
        case 2: text << (value.value.boolean ? "true" : "false"); break;
        case 3: text << value.value.integer; break;
        case 5: text << std::fixed << std::setprecision(2) << value.value.number; break;
        default: text << "?" << value.type;
        }
        return text.str();
    }

    std::shared_ptr<std::vector<std::string>> m_lines;
    std::string m_section;
};

} // namespace QCTest
