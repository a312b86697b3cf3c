#include "PropertyWriter.h"
#include "QCSummary.h"

#include <memory>

namespace TvrX509 {

namespace {
const PropertyAttributes kNoAttributes;
const SectionFormat kDefaultSectionFormat;
const PropertyFormat kDefaultPropertyFormat;
} // namespace

void DescribeQCConformance(const QCConformance& conformance, IPropertyWriter& writer)
{
    std::unique_ptr<IPropertyWriter> section =
        writer.AddSection("Conformance", kNoAttributes, kDefaultSectionFormat);
    if (conformance.regulation != 0) {
        const char* regulation =
            conformance.regulation == 1 ? "(EU) 1999/93/EC" : "(EU) No 910/2014 (eIDAS)";
        writer.AddProperty("Regulation", PropertyValue::Text(regulation), kNoAttributes,
                           kDefaultPropertyFormat);
    }
    const char* qualified = conformance.level == 0   ? "no"
                            : conformance.level == 1 ? "based on qualified"
                                                     : "yes";
    writer.AddProperty("Qualified", PropertyValue::Text(qualified), kNoAttributes,
                       kDefaultPropertyFormat);
}

} // namespace TvrX509
