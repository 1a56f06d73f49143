// A shared library in a VST3 bundle that exports none of the module entry
// points.
extern "C" int wfNotAPlugin() {
  return 0;
}
