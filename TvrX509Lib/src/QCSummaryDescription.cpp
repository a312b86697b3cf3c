#include "PropertyWriter.h"
#include "QCSummary.h"

#include <memory>

namespace TvrX509 {

namespace {
const PropertyAttributes kNoAttributes;
const SectionFormat kDefaultSectionFormat;
const PropertyFormat kDefaultPropertyFormat;
} // namespace

void DescribeQCSummary(const QCSummary& summary, IPropertyWriter& writer)
{
    if (summary.state == 0)
        return;
    std::unique_ptr<IPropertyWriter> statements =
        writer.AddSection("QualifiedStatements", kNoAttributes, kDefaultSectionFormat);
    writer.AddProperty("KeyOnSSCD", PropertyValue::Boolean(summary.sscd), kNoAttributes,
                       kDefaultPropertyFormat);
    writer.AddProperty("Complience", PropertyValue::Boolean(summary.compliance), kNoAttributes,
                       kDefaultPropertyFormat);
    if (!summary.limitCurrency.empty()) {
        PropertyAttributes attributes{
            {"currency", PropertyValue::Text(summary.limitCurrency.c_str())}};
        writer.AddProperty("LimitValue", PropertyValue::Double(summary.limitValue), attributes,
                           PropertyFormat{0, 0, "currency"});
    }
    if (summary.retentionYears > 0) {
        PropertyAttributes attributes{{"metric", PropertyValue::Text("years")}};
        writer.AddProperty("RetentionPeriod", PropertyValue::Integer(summary.retentionYears),
                           attributes, PropertyFormat{0, 0, "metric"});
    }
    if (summary.purposeTypes != 0) {
        std::unique_ptr<IPropertyWriter> purpose =
            writer.AddSection("Purpose", kNoAttributes, SectionFormat{0, 0, 2, ""});
        static const struct {
            int bit;
            const char* name;
        } kPurposes[] = {{0x1, "sign"}, {0x2, "seal"}, {0x4, "web"}};
        for (const auto& entry : kPurposes) {
            if (summary.purposeTypes & entry.bit)
                writer.AddProperty("type", PropertyValue::Text(entry.name), kNoAttributes,
                                   kDefaultPropertyFormat);
        }
    }
    if (!summary.pdsLocations.empty()) {
        std::unique_ptr<IPropertyWriter> pds =
            writer.AddSection("PDS", kNoAttributes, kDefaultSectionFormat);
        for (const auto& [language, url] : summary.pdsLocations) {
            PropertyAttributes attributes{{"lang", PropertyValue::Text(language.c_str())}};
            writer.AddProperty("location", PropertyValue::Text(url.c_str()), attributes,
                               PropertyFormat{2, 1, ""});
        }
    }
}

} // namespace TvrX509
