// The fake archive under the name the tests of the client's frame use.
#ifndef TESTS_PLUGIN_UI_FAKESOURCE_H_
#define TESTS_PLUGIN_UI_FAKESOURCE_H_

#include "tests/support/FakeArchive.h"

namespace fakes {
using ArchiveBounds = Archive;
}

#endif  // TESTS_PLUGIN_UI_FAKESOURCE_H_
