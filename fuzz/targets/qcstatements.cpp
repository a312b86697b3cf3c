// The qualified-certificate statements of a certificate: the typed statements, the summary
// and its description.
#include "DERBytes.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"
#include "ReadingWriter.h"
#include "QCStatements.h"
#include "QCSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const TvrX509::QCStatements statements(TvrASN1::DERBytes(data, size), false);
    for (const auto& statement : statements.GetStatements()) {
      (void)statement.GetOID();
      const TvrX509::QCStatementInfo* info = statement.GetInfo();
      if (!info) continue;
      (void)info->GetType();
      std::unique_ptr<TvrX509::QCStatementInfo> clone(info->Clone());
      for (int code : info->GetMessageCodes()) (void)TvrX509::GetQCMessageText(code);
      if (auto* limit = dynamic_cast<const TvrX509::QcEuLimitValue*>(info)) {
        (void)limit->GetValue();
        (void)limit->ToString();
      }
      if (auto* pds = dynamic_cast<const TvrX509::QcEuPDS*>(info)) {
        (void)pds->GetEnglishLocation();
        (void)pds->GetLocations();
      }
      if (auto* type = dynamic_cast<const TvrX509::QcEuType*>(info)) (void)type->GetTypes();
    }
    const TvrX509::QCStatements copy(statements);
    const TvrX509::QCSummary summary = TvrX509::ProcessQCStatements(copy);
    TvrFuzz::ReadingWriter writer;
    TvrX509::DescribeQCSummary(summary, writer);
    TvrX509::DescribeQCConformance(TvrX509::ClassifyQC(summary), writer);
    (void)TvrX509::CheckDirective1999(summary);
    (void)TvrX509::CheckEidas(summary);
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
