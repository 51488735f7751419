// The library's symbol table is the contract with the JVM: exactly the 44 native method
// names, nothing else, and Phone and Fax as one entry point.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

const std::set<std::string> kExports = {
    "CIPHERcreate",
    "CIPHERinit",
    "CIPHERupdate",
    "CIPHERfinal",
    "CIPHERfree",
    "RSAPUBLICKEYcreate",
    "RSAPUBLICKEYencrypt",
    "RSAPUBLICKEYfree",
    "RANDseed",
    "RANDget",
    "initMT",
    "KFSerrorName",
    "KFStypeName",
    "KFSmgntTypeName",
    "KFSerrorDescription",
    "KFSisValidUsername",
    "KFSisValidPassword",
    "KFSisValidFirstname",
    "KFSisValidLastname",
    "KFSisValidPhone",
    "KFSisValidFax",
    "KFSisValidHisnum",
    "VARNOgetApplicationKey",
    "VARNOgetMachineToken",
    "VARNOisRunning",
    "VARNOrestart",
    "SHELLexecuteFile",
    "SHELLgetBlockSize",
    "SHELLgetCTime",
    "SHELLlastAccessed",
    "SHELLgetFSA",
    "SHELLsetFSA",
    "SHELLgetIconBits",
    "SHELLgetIconFromPIDL",
    "SHELLgetIconFromPath",
    "SHELLgetIgnorePaths",
    "SHELLisIgnorePath",
    "SHELLgetVolumes",
    "SHELLperformDirStat",
    "WINUTILsetAlwaysOnTop",
    "WINUTILsetMaximized",
    "WINUTILsetMinimized",
    "WINUTILsetRestored",
    "WINUTILwindowExists",
};
constexpr char kPrefix[] = "Java_com_varno_Native_";

// name -> address of every defined dynamic symbol, from nm (binutils, not our code).
std::map<std::string, std::string> dynamic_symbols(const std::string& library) {
  std::map<std::string, std::string> symbols;
  std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return symbols;
  char line[1024];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) symbols[name] = address;
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return symbols;
}

std::set<std::string> with_prefix(const std::set<std::string>& names) {
  std::set<std::string> out;
  for (const auto& n : names) out.insert(kPrefix + n);
  return out;
}

}  // namespace

TEST(ExportsTest, TableHasFortyFourNames) {
  EXPECT_EQ(kExports.size(), 44u);
}

TEST(ExportsTest, LibraryExportsExactlyTheNativeMethods) {
  auto symbols = dynamic_symbols(VARNO_BRIDGE_LIBRARY);
  std::set<std::string> names;
  for (const auto& [name, address] : symbols) names.insert(name);
  EXPECT_EQ(names, with_prefix(kExports));
}

TEST(ExportsTest, PhoneAndFaxAreOneEntryPoint) {
  auto symbols = dynamic_symbols(VARNO_BRIDGE_LIBRARY);
  const std::string phone = std::string(kPrefix) + "KFSisValidPhone";
  const std::string fax = std::string(kPrefix) + "KFSisValidFax";
  ASSERT_TRUE(symbols.count(phone) && symbols.count(fax));
  EXPECT_EQ(symbols[phone], symbols[fax]);
  EXPECT_NE(symbols[phone], symbols[std::string(kPrefix) + "KFSisValidFirstname"]);
}

// javac's header for com.varno.Native declares the same 44 methods: the Java class and
// the library cannot drift apart by a name (signatures are checked by the compiler).
TEST(ExportsTest, JavaClassDeclaresTheSameMethods) {
  std::string header = testing_support::read_file(VARNO_BRIDGE_JNI_HEADER);
  std::set<std::string> declared;
  const std::string marker = std::string("JNICALL ") + kPrefix;
  for (size_t at = header.find(marker); at != std::string::npos; at = header.find(marker, at + 1)) {
    size_t begin = at + marker.size() - std::string(kPrefix).size();
    size_t end = header.find_first_of(" \n(", begin);
    declared.insert(header.substr(begin, end - begin));
  }
  EXPECT_EQ(declared, with_prefix(kExports));
}
