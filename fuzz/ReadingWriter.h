// A property writer for the targets that describe what they parsed.
#pragma once

#include <memory>
#include <string>

#include "PropertyWriter.h"

namespace TvrFuzz {

// Writes nothing but reads every value, so that a bad text pointer is caught.
class ReadingWriter : public TvrX509::IPropertyWriter {
 public:
  std::unique_ptr<TvrX509::IPropertyWriter> AddSection(const std::string& name,
                                                       const TvrX509::PropertyAttributes& attributes,
                                                       const TvrX509::SectionFormat&) override {
    Touch(name, attributes);
    return std::make_unique<ReadingWriter>();
  }
  void AddProperty(const std::string& name, const TvrX509::PropertyValue& value,
                   const TvrX509::PropertyAttributes& attributes,
                   const TvrX509::PropertyFormat&) override {
    Touch(name, attributes);
    TouchValue(value);
  }

  size_t sink = 0;

 private:
  void Touch(const std::string& name, const TvrX509::PropertyAttributes& attributes) {
    sink += name.size();
    for (const auto& [key, value] : attributes) {
      sink += key.size();
      TouchValue(value);
    }
  }
  void TouchValue(const TvrX509::PropertyValue& value) {
    if (value.type == 1 && value.value.text) sink += std::string(value.value.text).size();
  }
};

}  // namespace TvrFuzz
