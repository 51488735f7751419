// The bridge's exports arrive with the bridge work; this keeps the library building.
extern "C" __attribute__((visibility("default"))) const char* varno_bridge_version() {
  return "0.1.0";
}
