// Times read from certificates, OCSP answers, PDF files and the profile: every text format,
// and a date that parsed prints and parses again to the same instant.
#include <string>

#include "Date.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TvrFuzz::Input input(data, size);
  const int format = input.Byte() % 5;  // 4: an unknown format
  const std::string text = input.Rest();
  try {
    const TvrCommon::Date date(text, format);
    const TvrCommon::Date iso(date.ToIso8601String(), TvrCommon::Date::Iso8601);
    TvrFuzz::Require(iso == date, "ISO 8601 round trip");
    // GeneralizedTime has four year digits; the ISO text may carry more.
    if (date < TvrCommon::Date(253402300800ull, TvrCommon::Date::Seconds)) {
      const TvrCommon::Date again(date.ToGeneralizedTimeString(), TvrCommon::Date::GeneralizedTime);
      TvrFuzz::Require(again == date, "GeneralizedTime round trip");
    }
    (void)date.FormatUTC("%Y-%m-%d %H:%M:%S");
    try {
      (void)date.GetYear();
      (void)date.Format("%c");
    } catch (const TvrCommon::ErrCodeException&) {
      // No local-time breakdown for this instant.
    }
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
