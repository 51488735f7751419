// libFuzzer target: security descriptors and serialized security records from outside.
// Every input must be accepted or refused without reading past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/security.h"
#include "util/fsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PlatSecurityFacts facts;
  if (plat_security_descriptor_parse(data, size, &facts) == 0) {
    // What parses describes something that builds back into a parseable descriptor.
    uint8_t rebuilt[256];
    size_t n = plat_security_descriptor_build(facts.uid, facts.gid, facts.mode & 0777, rebuilt,
                                              sizeof(rebuilt));
    PlatSecurityFacts again;
    if (n > sizeof(rebuilt) || plat_security_descriptor_parse(rebuilt, n, &again) != 0) abort();
    if (facts.has_mode && again.mode != (facts.mode & 0777)) abort();
  }
  auto record = std::make_unique<FsaRecord>();
  memset(record.get(), 0, sizeof(FsaRecord));
  if (fsa_deserialize(data, size, record.get()) == 0 && record->kind == FSA_DESCRIPTOR) {
    if (record->value + FSA_HEADER_SIZE > size) abort();
    if (memcmp(record->descriptor, data + FSA_HEADER_SIZE, record->value) != 0) abort();
  }
  return 0;
}
