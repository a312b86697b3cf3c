#include "CardTables.h"

const CardTypeEntry CardTypeTable[kCardTypeCount] = {
    {"Incard  TS2048", "Bit4ID", "Bit4ID Touch & Sign 2048 (oVB)", 1},
    {"Classic TPC", "Gemalto", "Gemalto Classic TPC IM CC (oVG)", 1},
    {"IDPrime MD T=0", "Gemalto2", "Gemalto IDPrime MD (oVG-e)", 1},
    {"Oberthur Technologies IAS-ECC Device", "Oberthur", "Oberthur ID-One Cosmo 64K v7.0", 0},
};

const VendorModuleEntry VendorModuleTable[kVendorModuleCount] = {
    {"Bit4ID", "bit4ipki.dll", "Bit4ID", 0, nullptr},
    {"Gemalto", "gclib.dll", "Gemalto", 0, nullptr},
    {"Gemalto2", "eTPKCS11.dll", "Gemalto2", 0, nullptr},
    {"Oberthur", "OCSCryptoki.dll", "Oberthur", 0, nullptr},
};
