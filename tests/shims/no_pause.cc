// Preloaded into the tool by end-to-end tests of the build's reply loop:
// the loop's pauses between status pages return at once, so a build of
// several pages takes no longer than its exchanges.
extern "C" unsigned int sleep(unsigned int) { return 0; }
