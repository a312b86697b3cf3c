#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace TvrX509 {

// One typed value of a description: 1 text, 2 boolean, 3 signed integer, 5 double.
struct PropertyValue {
    int type = 0;
    union {
        const char* text;  // valid only during the call that receives it
        int64_t boolean;   // 0 or 1
        int64_t integer;
        double number;
    } value{};

    static PropertyValue Text(const char* text)
    {
        PropertyValue v;
        v.type = 1;
        v.value.text = text;
        return v;
    }
    static PropertyValue Boolean(bool flag)
    {
        PropertyValue v;
        v.type = 2;
        v.value.boolean = flag ? 1 : 0;
        return v;
    }
    static PropertyValue Integer(int64_t number)
    {
        PropertyValue v;
        v.type = 3;
        v.value.integer = number;
        return v;
    }
    static PropertyValue Double(double number)
    {
        PropertyValue v;
        v.type = 5;
        v.value.number = number;
        return v;
    }
};

// Attribute name -> value.
using PropertyAttributes = std::map<std::string, PropertyValue>;

// Layout hints passed through to the writer untouched; their meaning is the writer's.
struct SectionFormat {
    int value1 = 0;
    int value2 = 0;
    int value3 = 0;
    std::string text = "  ";
};

struct PropertyFormat {
    int value1 = 0;
    int value2 = 0;
    std::string text;
};

// Writes a tree of named sections and properties. A section stays open while the handle
// returned by AddSection lives; properties written meanwhile belong to it.
class IPropertyWriter {
public:
    virtual ~IPropertyWriter() = default;
    virtual std::unique_ptr<IPropertyWriter> AddSection(const std::string& name,
                                                        const PropertyAttributes& attributes,
                                                        const SectionFormat& format) = 0;
    virtual void AddProperty(const std::string& name, const PropertyValue& value,
                             const PropertyAttributes& attributes,
                             const PropertyFormat& format) = 0;
};

} // namespace TvrX509
