#include "ErrCodeExceptionImpl.h"

namespace TvrCommon {

const char* ErrCodeText(int code)
{
    switch (code) {
    case 0: return "OK";
    case 1: return "Internal error";
    case 2: return "Not implemented";
    case 3: return "Out of memory";
    case 4: return "Bad argument(s)";
    case 5: return "File read error";
    case 6: return "File write error";
    case 7: return "Format error";
    case 8: return "Algorithm error";
    case 9: return "Canceled";
    case 10: return "Value overflow";
    case 11: return "Invalid operation";
    case 14: return "The Uri is wrong";
    default: return "Unknown error";
    }
}

} // namespace TvrCommon
