#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "TokenTestFixture.h"

namespace {

using TvrCommon::SecureString;

TEST_F(TokenTest, CryptokiVersionTextOfTheModule) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2.20", "2.20"}, {"2.1", "2.01"}, {"2.10", "2.10"}, {"2.11", "2.11"}, {"2.40", "2.40"}};
  InstallShim();
  for (const auto& [reported, expected] : cases) {
    shim_->SetVersion(reported);
    Platform::ModuleHandle module = LoadModule();
    EXPECT_EQ(GetCryptokiVersion(module), expected) << reported;
    Platform::FreeLibrary(module);
  }
  EXPECT_EQ(GetCryptokiVersion(nullptr), "");
  EXPECT_TRUE(Events().empty());  // nothing is logged by the version probe
}

// A module implementing Cryptoki 3.0 may export its 3.0 C_GetInfo by name while the list
// of C_GetFunctionList, which the token class binds to, is a 2.20 one.
TEST_F(TokenTest, CryptokiVersionIsTheFunctionListsOne) {
  InstallShim({.version = "2.20"});
  shim_->SetOption("exported_version", "3.0");
  Platform::ModuleHandle module = LoadModule();
  // The two really disagree.
  auto initialize = reinterpret_cast<CK_C_Initialize>(Platform::GetProcAddress(module, "C_Initialize"));
  auto getInfo = reinterpret_cast<CK_C_GetInfo>(Platform::GetProcAddress(module, "C_GetInfo"));
  auto finalize = reinterpret_cast<CK_C_Finalize>(Platform::GetProcAddress(module, "C_Finalize"));
  ASSERT_TRUE(initialize && getInfo && finalize);
  ASSERT_EQ(initialize(nullptr), CKR_OK);
  CK_INFO info{};
  ASSERT_EQ(getInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 3);
  ASSERT_EQ(finalize(nullptr), CKR_OK);

  EXPECT_EQ(GetCryptokiVersion(module), "2.20");
  Platform::FreeLibrary(module);
  auto token = CreateToken();
  EXPECT_EQ(token->GetCryptokiVersionField().major, 2);
  EXPECT_EQ(token->GetCryptokiVersionField().minor, 20);
}

TEST_F(TokenTest, CryptokiVersionIsEmptyWhenInitializeOrFinalizeFails) {
  InstallShim({.version = "2.20"});
  for (const char* failing : {"C_Finalize", "C_Initialize", "C_GetInfo"}) {
    shim_->InjectRv(failing, 0x5);
    shim_->ClearLog();
    Platform::ModuleHandle module = LoadModule();
    EXPECT_EQ(GetCryptokiVersion(module), "") << failing;
    Platform::FreeLibrary(module);
    shim_->ClearRv(failing);
    // A failed C_Initialize is not followed by C_Finalize.
    if (std::string(failing) == "C_Initialize") {
      EXPECT_EQ(shim_->CountCalls("C_Finalize"), 0u);
    }
  }
}

TEST_F(TokenTest, ConstructionInitialisesAndLogsTheLibraryInformation) {
  InstallShim({.version = "2.20"});
  auto token = CreateToken();
  ASSERT_TRUE(token->IsValid());
  EXPECT_TRUE(token->IsInitialized());
  EXPECT_EQ(token->GetCryptokiVersionField().major, 2);
  EXPECT_EQ(token->GetCryptokiVersionField().minor, 20);
  EXPECT_EQ(token->GetManufacturerId().size(), 32u);  // all 32 bytes, blanks kept
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Manufacturer ID: SoftHSM", 0), 0u) << events[0];
  EXPECT_NE(events[0].find(", cryptoki version: 2.20"), std::string::npos) << events[0];
}

TEST_F(TokenTest, FailingGetInfoStillGivesAnInitialisedObject) {
  InstallShim();
  shim_->InjectRv("C_GetInfo", 0x6);
  auto token = CreateToken();
  EXPECT_TRUE(token->IsValid());
  EXPECT_TRUE(token->IsInitialized());
  EXPECT_TRUE(token->GetManufacturerId().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(TokenTest, FailingInitializeLeavesABoundUninitialisedObject) {
  InstallShim();
  shim_->InjectRv("C_Initialize", 0x191);
  auto token = CreateToken();
  EXPECT_TRUE(token->IsValid());
  EXPECT_FALSE(token->IsInitialized());
  EXPECT_TRUE(HasEvent("INITIALIZE ERROR! Error code: 00000191"));
  token.reset();
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 0u);  // never initialised, never finalised
  EXPECT_EQ(shim_->CountCalls("unload"), 1u);
}

TEST_F(TokenTest, ModuleWithoutFunctionListGivesAnUnboundObject) {
  InstallShim({.withoutFunctionList = true});
  auto token = CreateToken();
  EXPECT_FALSE(token->IsValid());
  EXPECT_TRUE(HasEvent("Get Procedure Address ERROR! Error code: 0000007f"));
  sink_->Clear();
  EXPECT_FALSE(token->OpenSession(false));
  EXPECT_TRUE(token->GetSlotList(true).empty());
  EXPECT_EQ(token->GetSlotInfo(), nullptr);
  EXPECT_EQ(token->GetTokenInfo(), nullptr);
  EXPECT_NE(token->ReadObjects(), nullptr);
  token->Reinitialize();
  for (const auto& e : Events()) EXPECT_EQ(e, "NO FUNCTIONLIST POINTER");
  EXPECT_EQ(Events().size(), 6u);
  sink_->Clear();
  token.reset();
  EXPECT_EQ(Events(), std::vector<std::string>{"NO FUNCTIONLIST POINTER"});
  EXPECT_TRUE(ModuleStillLoaded());
  UnloadLeftoverModule();  // so later tests in this process load a fresh copy
}

TEST_F(TokenTest, NoModuleIsReported) {
  auto token = PKCS11V201::Create(nullptr, nullptr);
  EXPECT_FALSE(token->IsValid());
  EXPECT_TRUE(HasEvent("No module!"));
}

TEST_F(TokenTest, SessionAndLoginLifecycle) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  auto slotInfo = token->GetSlotInfo();
  ASSERT_NE(slotInfo, nullptr);
  EXPECT_EQ(slotInfo->description, kReader);
  EXPECT_TRUE(slotInfo->tokenPresent);
  EXPECT_TRUE(token->IsTokenPresent());

  ASSERT_TRUE(token->OpenSession(false));
  EXPECT_TRUE(token->HasSession());
  EXPECT_FALSE(token->OpenSession(false));
  EXPECT_TRUE(HasEvent("OPENSESSION ERROR! ILLEGAL STATE!"));
  auto sessionInfo = token->GetSessionInfo();
  ASSERT_NE(sessionInfo, nullptr);
  EXPECT_TRUE(sessionInfo->serial);
  EXPECT_FALSE(sessionInfo->readWrite);
  EXPECT_EQ(sessionInfo->state, static_cast<uint32_t>(CKS_RO_PUBLIC_SESSION));

  sink_->Clear();
  SecureString wrong("9999"), right("1234");
  EXPECT_FALSE(token->Login(&wrong, CKU_USER));
  EXPECT_FALSE(token->IsLoggedIn());
  EXPECT_EQ(Events(), std::vector<std::string>{"LOGIN ERROR! Error code: 000000a0"});

  CK_RV rv = 0xFFFF;
  ASSERT_TRUE(token->LoginEx(&right, false, &rv));
  EXPECT_EQ(rv, CKR_OK);
  EXPECT_TRUE(token->IsLoggedIn());
  EXPECT_EQ(token->GetSessionInfo()->state, static_cast<uint32_t>(CKS_RO_USER_FUNCTIONS));

  // Already logged in: refused without a call, the caller's value untouched.
  const size_t loginsBefore = shim_->CountCalls("C_Login");
  rv = 0x1234;
  EXPECT_FALSE(token->LoginEx(&right, false, &rv));
  EXPECT_EQ(rv, 0x1234u);
  EXPECT_EQ(shim_->CountCalls("C_Login"), loginsBefore);

  ASSERT_TRUE(token->Logout());
  EXPECT_FALSE(token->IsLoggedIn());
  const size_t logoutsBefore = shim_->CountCalls("C_Logout");
  EXPECT_FALSE(token->Logout());  // not logged in: nothing called
  EXPECT_EQ(shim_->CountCalls("C_Logout"), logoutsBefore);

  ASSERT_TRUE(token->Login(&right, CKU_USER));
  ASSERT_TRUE(token->CloseSession());
  EXPECT_FALSE(token->HasSession());
  EXPECT_TRUE(token->IsLoggedIn());  // closing does not touch the flag
  EXPECT_FALSE(token->CloseSession());
  EXPECT_TRUE(HasEvent("CLOSESESSION ERROR! ILLEGAL STATE!"));
}

// A card swap or a pulled card ends the module's sessions without our asking. The object
// must then forget the dead handle and log-in, or it refuses every later session for good.
TEST_F(TokenTest, ASessionTheModuleDroppedIsForgotten) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  SecureString pin("1234");
  ASSERT_TRUE(token->OpenSession(false));
  ASSERT_TRUE(token->LoginEx(&pin, false, nullptr));
  shim_->DropSessions();
  sink_->Clear();
  EXPECT_FALSE(token->CloseSession());
  EXPECT_EQ(Events(), std::vector<std::string>{"CLOSESESSION ERROR! Error code: 000000b3"});
  EXPECT_FALSE(token->HasSession());
  EXPECT_FALSE(token->IsLoggedIn());
  ASSERT_TRUE(token->OpenSession(false));
  CK_RV rv = 0xFFFF;
  EXPECT_TRUE(token->LoginEx(&pin, false, &rv));
  EXPECT_EQ(rv, CKR_OK);
  ASSERT_TRUE(token->Logout());
  ASSERT_TRUE(token->CloseSession());

  // Each result that says the session is gone, from the calls that end a session and
  // from ordinary ones.
  struct Call {
    const char* function;
    std::function<void()> run;
  };
  const std::vector<Call> calls = {
      {"C_CloseSession", [&] { token->CloseSession(); }},
      {"C_Logout", [&] { token->Logout(); }},
      {"C_GetSessionInfo", [&] { token->GetSessionInfo(); }},
      {"C_FindObjectsInit", [&] { token->ReadObjects(); }},
  };
  for (CK_RV gone : {CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED, CKR_DEVICE_REMOVED,
                     CKR_TOKEN_NOT_PRESENT}) {
    for (const Call& call : calls) {
      shim_->DropSessions();  // a clean module state for each case
      ASSERT_TRUE(token->OpenSession(false)) << call.function << " " << gone;
      ASSERT_TRUE(token->LoginEx(&pin, false, nullptr)) << call.function << " " << gone;
      shim_->InjectRv(call.function, gone);
      call.run();
      shim_->ClearRv(call.function);
      EXPECT_FALSE(token->HasSession()) << call.function << " " << gone;
      EXPECT_FALSE(token->IsLoggedIn()) << call.function << " " << gone;
    }
  }

  // Any other failure leaves the object as it was.
  shim_->DropSessions();
  ASSERT_TRUE(token->OpenSession(false));
  ASSERT_TRUE(token->LoginEx(&pin, false, nullptr));
  shim_->InjectRv("C_CloseSession", CKR_DEVICE_ERROR);
  shim_->InjectRv("C_Logout", CKR_DEVICE_ERROR);
  EXPECT_FALSE(token->Logout());
  EXPECT_FALSE(token->CloseSession());
  EXPECT_TRUE(token->HasSession());
  EXPECT_TRUE(token->IsLoggedIn());
  shim_->ClearRv("C_CloseSession");
  shim_->ClearRv("C_Logout");
  EXPECT_TRUE(token->Logout());
  EXPECT_TRUE(token->CloseSession());
}

TEST_F(TokenTest, LoginExReportsTheModulesReturnValue) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  ASSERT_TRUE(token->OpenSession(true));
  SecureString wrong("0000");
  CK_RV rv = 0;
  EXPECT_FALSE(token->LoginEx(&wrong, false, &rv));
  EXPECT_EQ(rv, CKR_PIN_INCORRECT);
  shim_->InjectRv("C_Login", CKR_PIN_LOCKED);
  EXPECT_FALSE(token->LoginEx(&wrong, false, &rv));
  EXPECT_EQ(rv, CKR_PIN_LOCKED);
  EXPECT_FALSE(token->LoginEx(&wrong, false, nullptr));  // no out value: still fine
  EXPECT_TRUE(HasEvent("LOGIN ERROR! Error code: 000000a4"));
  shim_->ClearRv("C_Login");
  SecureString so("12345678");
  EXPECT_TRUE(token->LoginEx(&so, true, &rv));
  EXPECT_EQ(token->GetSessionInfo()->state, static_cast<uint32_t>(CKS_RW_SO_FUNCTIONS));
  token->Logout();
}

TEST_F(TokenTest, LoginErrorEventFollowsTheLevel) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  ASSERT_TRUE(token->OpenSession(false));
  SecureString wrong("9999");
  for (int level : {0, 1, 2, 3}) {
    SetEventLogLevel(level);
    sink_->Clear();
    EXPECT_FALSE(token->Login(&wrong, CKU_USER));
    if (level == 0) {
      EXPECT_TRUE(Events().empty());
    } else {
      EXPECT_EQ(Events(), std::vector<std::string>{"LOGIN ERROR! Error code: 000000a0"})
          << "level " << level;
    }
  }
}

TEST_F(TokenTest, SlotDescriptionsNameTheirReader) {
  TvrTest::TokenSpec second;
  second.label = "Second";
  second.withKeyAndCertificate = false;
  tokens_->AddToken(second);
  TvrTest::TokenSpec third = second;
  third.label = "Blank";
  tokens_->AddToken(third);
  InstallShim({.readers = {{"TvrTest", "Reader A"}, {"Second", "Reader A"}, {"Blank", ""}}});
  auto token = CreateToken();
  auto slots = token->GetSlotList(true);
  ASSERT_EQ(slots.size(), 3u);
  std::multiset<std::string> descriptions;
  for (CK_SLOT_ID slot : slots) {
    token->SetSlot(slot);
    auto info = token->GetSlotInfo();
    ASSERT_NE(info, nullptr);
    descriptions.insert(info->description);
  }
  // Two slots for one reader; 64 blanks become empty text.
  EXPECT_EQ(descriptions, (std::multiset<std::string>{"", "Reader A", "Reader A"}));
}

TEST_F(TokenTest, SlotInfoFailureIsLogged) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  shim_->InjectRv("C_GetSlotInfo", CKR_SLOT_ID_INVALID);
  EXPECT_EQ(token->GetSlotInfo(), nullptr);
  EXPECT_FALSE(token->IsTokenPresent());
  EXPECT_EQ(Events().back(), "GETSLOTINFO ERROR! Error code: 00000003");
  shim_->InjectRv("C_GetSlotList", CKR_GENERAL_ERROR);
  sink_->Clear();
  EXPECT_TRUE(token->GetSlotList(true).empty());
  EXPECT_TRUE(Events().empty());  // slot list failures are silent
}

// A module that looks for readers on every call finds one more between the count and the
// fill when a card arrives meanwhile, and answers the fill "buffer too small": the list is
// asked again, a bounded number of times.
TEST_F(TokenTest, SlotListThatGrewBetweenCountAndFillIsAskedAgain) {
  InstallShim();
  auto token = CreateToken();
  const std::vector<CK_SLOT_ID> slots = token->GetSlotList(true);
  ASSERT_EQ(slots.size(), 1u);
  shim_->SetOption("slot_fill_short", "2");
  shim_->ClearLog();
  EXPECT_EQ(token->GetSlotList(true), slots);
  EXPECT_EQ(shim_->CountCalls("C_GetSlotList"), 6u);  // two short fills, then the list
  shim_->ClearOption("slot_fill_short");
  // A module that never gets it right yields no list, soon.
  shim_->InjectRv("C_GetSlotList", CKR_BUFFER_TOO_SMALL);
  shim_->ClearLog();
  EXPECT_TRUE(token->GetSlotList(true).empty());
  EXPECT_LE(shim_->CountCalls("C_GetSlotList"), 8u);
}

// Reinitialize ends every session of the module, its clones' too, and SoftHSM2 numbers
// sessions from 1 again: a clone's old handle would name the primary's new session.
TEST_F(TokenTest, CloneForgetsASessionOpenedBeforeReinitialize) {
  InstallShim();
  auto primary = CreateTokenOnSlot();
  auto clone = primary->Clone();
  clone->SetSlot(primary->GetSlot());
  SecureString pin("1234");
  ASSERT_TRUE(clone->OpenSession(false));
  ASSERT_TRUE(clone->LoginEx(&pin, false, nullptr));
  const CK_SESSION_HANDLE old = clone->GetSession();
  primary->Reinitialize();
  ASSERT_TRUE(primary->OpenSession(false));
  ASSERT_EQ(primary->GetSession(), old);  // the number came back: the case this is about

  shim_->ClearLog();
  sink_->Clear();
  EXPECT_FALSE(clone->HasSession());
  EXPECT_FALSE(clone->IsLoggedIn());
  EXPECT_TRUE(clone->CloseSession());  // it is gone already
  EXPECT_FALSE(clone->Logout());
  EXPECT_EQ(shim_->CountCalls("C_Logout"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_CloseSession"), 0u);
  EXPECT_TRUE(Events().empty());
  // The primary's session is untouched, and the clone starts afresh.
  ASSERT_NE(primary->GetSessionInfo(), nullptr);
  ASSERT_TRUE(clone->OpenSession(false));
  EXPECT_NE(clone->GetSession(), primary->GetSession());
  EXPECT_TRUE(clone->LoginEx(&pin, false, nullptr));
  EXPECT_TRUE(clone->Logout());
  EXPECT_TRUE(clone->CloseSession());
  EXPECT_TRUE(primary->CloseSession());
}

TEST_F(TokenTest, CloneSharesTheModuleButNeverFinalisesOrUnloads) {
  InstallShim();
  auto primary = CreateTokenOnSlot();
  primary->SetReaderName(kReader);
  ASSERT_TRUE(primary->OpenSession(false));
  SecureString pin("1234");
  ASSERT_TRUE(primary->Login(&pin, CKU_USER));

  auto clone = primary->Clone();
  ASSERT_NE(dynamic_cast<PKCS11V220*>(clone.get()), nullptr);
  EXPECT_TRUE(clone->IsClone());
  EXPECT_TRUE(clone->IsValid());
  EXPECT_TRUE(clone->IsInitialized());
  EXPECT_EQ(clone->GetFunctionList(), primary->GetFunctionList());
  EXPECT_EQ(clone->GetReaderName(), kReader);
  EXPECT_EQ(clone->GetVendorModule(), primary->GetVendorModule());
  EXPECT_FALSE(clone->HasSession());
  EXPECT_FALSE(clone->IsLoggedIn());
  EXPECT_TRUE(clone->GetManufacturerId().empty());
  clone->SetSlot(primary->GetSlot());
  ASSERT_TRUE(clone->OpenSession(false));
  EXPECT_NE(clone->GetSession(), primary->GetSession());

  clone->Reinitialize();  // a clone leaves the module alone
  clone->CloseSession();
  clone.reset();
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 0u);
  EXPECT_EQ(shim_->CountCalls("unload"), 0u);
  EXPECT_TRUE(primary->IsLoggedIn());
  EXPECT_NE(primary->GetSessionInfo(), nullptr);  // the primary's session still works

  primary->Logout();
  primary->CloseSession();
  primary.reset();
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 1u);
  EXPECT_EQ(shim_->CountCalls("unload"), 1u);
  EXPECT_FALSE(ModuleStillLoaded());
}

// Whichever goes last, the primary object or a clone, finalises and unloads the module.
TEST_F(TokenTest, CloneOutlivingThePrimaryKeepsTheModule) {
  InstallShim();
  auto primary = CreateTokenOnSlot();
  auto clone = primary->Clone();
  clone->SetSlot(primary->GetSlot());
  primary.reset();
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 0u);
  EXPECT_EQ(shim_->CountCalls("unload"), 0u);
  EXPECT_TRUE(clone->IsInitialized());
  ASSERT_TRUE(clone->OpenSession(false));
  EXPECT_NE(clone->GetSessionInfo(), nullptr);
  auto info = clone->GetTokenInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->label, "TvrTest");
  ASSERT_TRUE(clone->CloseSession());
  clone.reset();
  EXPECT_EQ(shim_->CountCalls("C_Finalize"), 1u);
  EXPECT_EQ(shim_->CountCalls("unload"), 1u);
  EXPECT_FALSE(ModuleStillLoaded());
}

// The card monitor renames the primary object's reader while the interface thread clones
// it; every clone must carry one whole name or the other.
TEST_F(TokenTest, CloneNeverCopiesAHalfWrittenReaderName) {
  InstallShim();
  auto primary = CreateToken();
  // Different lengths, so that a rename may also move the name to a new buffer.
  const std::string first(100, 'a'), second(300, 'b');
  primary->SetReaderName(first);
  std::atomic<bool> stop{false}, started{false};
  std::thread monitor([&] {
    started = true;
    for (bool flip = false; !stop; flip = !flip) primary->SetReaderName(flip ? first : second);
  });
  while (!started) std::this_thread::yield();
  size_t torn = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::string name = primary->Clone()->GetReaderName();
    if (name != first && name != second) ++torn;
  }
  stop = true;
  monitor.join();
  EXPECT_EQ(torn, 0u);
}

TEST_F(TokenTest, ReinitializeFinalisesAndInitialisesAgain) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  shim_->ClearLog();
  sink_->Clear();
  token->Reinitialize();
  auto log = shim_->CallLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "C_Finalize");
  EXPECT_EQ(log[1], "C_Initialize");
  EXPECT_EQ(log[2], "C_GetInfo");
  EXPECT_TRUE(token->IsInitialized());
  ASSERT_EQ(Events().size(), 1u);  // the information event again
  EXPECT_EQ(Events()[0].rfind("Manufacturer ID: ", 0), 0u);

  shim_->InjectRv("C_Finalize", CKR_GENERAL_ERROR);
  shim_->ClearLog();
  token->Reinitialize();
  EXPECT_TRUE(HasEvent("FINALIZE ERROR! Error code: 00000005"));
  EXPECT_EQ(shim_->CountCalls("C_Initialize"), 0u);
  EXPECT_TRUE(token->IsInitialized());

  // Destruction with a failing C_Finalize still unloads the module.
  sink_->Clear();
  token.reset();
  EXPECT_EQ(Events(), std::vector<std::string>{"FINALIZE ERROR! Error code: 00000005"});
  EXPECT_FALSE(ModuleStillLoaded());
}

TEST_F(TokenTest, SessionGuardClosesTheSession) {
  InstallShim();
  auto token = CreateTokenOnSlot();
  {
    PKCS11SessionGuard guard(token.get());
    ASSERT_TRUE(token->OpenSession(false));
  }
  EXPECT_FALSE(token->HasSession());
  EXPECT_EQ(shim_->CountCalls("C_CloseSession"), 1u);
  { PKCS11SessionGuard noSession(token.get()); }
  { PKCS11SessionGuard nothing(nullptr); }
  EXPECT_EQ(shim_->CountCalls("C_CloseSession"), 1u);
}

// The card monitor works on the primary object while the interface thread works on a
// clone; the module was initialised without locking arguments, so no two calls into it
// may overlap. The shim sleeps inside every call and records any overlap.
TEST_F(TokenTest, PrimaryAndCloneNeverCallTheModuleAtOnce) {
  InstallShim({.delayUs = 200});
  auto primary = CreateTokenOnSlot();
  auto clone = primary->Clone();
  clone->SetSlot(primary->GetSlot());
  std::atomic<bool> go{false};
  auto hammer = [&go](PKCS11Base* token) {
    while (!go) std::this_thread::yield();
    SecureString pin("1234");
    for (int i = 0; i < 25; ++i) {
      token->OpenSession(false);
      token->IsTokenPresent();
      token->GetSessionInfo();
      token->GetSlotList(true);
      token->CloseSession();
    }
  };
  std::thread a(hammer, primary.get());
  std::thread b(hammer, clone.get());
  go = true;
  a.join();
  b.join();
  EXPECT_GE(shim_->CountCalls("C_OpenSession"), 50u);
  EXPECT_FALSE(shim_->SawOverlap());

  // The same hammering straight through the function list does overlap, which shows the
  // shim would have seen it. (The shim answers by itself here: SoftHSM2, initialised
  // without locking, really does crash under concurrent calls.)
  shim_->InjectRv("C_GetSlotInfo", CKR_OK);
  shim_->ClearLog();
  CK_FUNCTION_LIST* list = primary->GetFunctionList();
  auto raw = [list, &primary] {
    for (int i = 0; i < 50; ++i) {
      CK_SLOT_INFO info;
      list->C_GetSlotInfo(primary->GetSlot(), &info);
    }
  };
  std::thread c(raw), d(raw);
  c.join();
  d.join();
  EXPECT_TRUE(shim_->SawOverlap());
  clone.reset();
}

// A reader change makes the card monitor reinitialise the primary object while the
// interface thread may be calling into the module through a clone: the clone must never
// land between C_Finalize and C_Initialize, where the module is not initialised. Both
// threads share one CPU and the clone waits on the lock through every C_Finalize, so
// that it runs the moment the lock is let go.
TEST_F(TokenTest, CloneNeverCallsBetweenFinalizeAndInitialize) {
  cpu_set_t original;
  ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof original, &original), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &original)) {
      CPU_SET(cpu, &one);
      break;
    }
  InstallShim();
  auto primary = CreateTokenOnSlot();
  auto clone = primary->Clone();
  clone->SetSlot(primary->GetSlot());
  shim_->SetOption("delay_us.C_Finalize", "2000");
  shim_->ClearLog();
  ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof one, &one), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread ui([&] {
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    while (!stop) {
      if (!clone->IsTokenPresent()) ++failures;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  for (int i = 0; i < 50; ++i) primary->Reinitialize();
  stop = true;
  ui.join();
  pthread_setaffinity_np(pthread_self(), sizeof original, &original);
  EXPECT_EQ(failures, 0);
  const auto log = shim_->CallLog();
  size_t finalizes = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] != "C_Finalize") continue;
    ++finalizes;
    ASSERT_LT(i + 1, log.size());
    EXPECT_EQ(log[i + 1], "C_Initialize") << "after finalize " << finalizes;
  }
  EXPECT_EQ(finalizes, 50u);
  EXPECT_FALSE(shim_->SawOverlap());
  clone.reset();
}

}  // namespace
