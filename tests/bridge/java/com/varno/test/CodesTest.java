package com.varno.test;

import com.varno.Native;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

public final class CodesTest {
  static {
    Bridge.load();
  }

  public void testKnownCodesAnswerTheirNames() {
    Check.equal("ERR_NONE", Native.KFSerrorName(0), "error 0");
    Check.equal("KFS_STAT", Native.KFStypeName(3), "type 3");
    Check.equal("MGNT_U_MACHINE_TOKEN_ADD", Native.KFSmgntTypeName(8), "mgnt 8");
    Check.equal("File is up to date", Native.KFSerrorDescription(17), "description 17");
  }

  public void testUnknownCodesAnswerTheFallbacks() {
    Check.equal("ERR_UNKNOWN", Native.KFSerrorName(8), "error 8");
    Check.equal("ERR_DESCRIPTION_UNKNOWN", Native.KFSerrorDescription(8), "description 8");
    Check.equal("KFS_UNKNOWN", Native.KFStypeName(130), "type 130");
    Check.equal("MGNT_UNKNOWN", Native.KFSmgntTypeName(25), "mgnt 25");
    Check.equal("MGNT_UNKNOWN", Native.KFSmgntTypeName(-1), "mgnt -1");
  }

  // Types, errors and descriptions use the low 8 bits; management types the whole value.
  public void testOnlyManagementTypesLookAtTheWholeValue() {
    Check.equal("ERR_ACCESS", Native.KFSerrorName(256 + 4), "error 260");
    Check.equal("ERR_SCKWRITE", Native.KFSerrorName(-1), "error -1");
    Check.equal("File is up to date", Native.KFSerrorDescription(512 + 17), "description 529");
    Check.equal("KFS_FILE_WOPEN", Native.KFStypeName(256 + 17), "type 273");
    Check.equal("MGNT_UNKNOWN", Native.KFSmgntTypeName(256 + 8), "mgnt 264");
  }

  // The strings Java receives match the code table byte for byte, for every code.
  public void testEveryCodeMatchesTheGoldenTable() throws Exception {
    List<String> actual = new ArrayList<>();
    for (int c = 0; c < 256; c++) {
      actual.add("type " + c + " " + Native.KFStypeName(c));
    }
    for (int c = 0; c < 256; c++) {
      actual.add("error " + c + " " + Native.KFSerrorName(c) + " " + Native.KFSerrorDescription(c));
    }
    for (int c = -1; c < 27; c++) {
      actual.add("mgnt " + c + " " + Native.KFSmgntTypeName(c));
    }
    Path golden = Path.of(Bridge.property("varno.source"), "tests/protocol/testdata/codes.golden");
    List<String> expected = Bridge.lines(golden);
    Check.equal(expected.size(), actual.size(), "line count");
    for (int i = 0; i < expected.size(); i++) {
      Check.equal(expected.get(i), actual.get(i), "line " + (i + 1));
    }
  }
}
