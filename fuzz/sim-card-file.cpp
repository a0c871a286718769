// The service's reader of a SIM card file (JSON, named by --sim): it reads
// a card or refuses the file with CardFileError, and a card it read is
// written back (card_to_text) as a file it reads to the same card.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz-input.h"
#include "sim/sim-card.h"

using namespace contact_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("sim-card-fuzz", 0);
    fuzz::require(fd >= 0);
    fuzz::require(write(fd, data, size) == ssize_t(size));
    try {
        const SimCard card = read_card_file("/proc/self/fd/" + std::to_string(fd));
        const std::string written = card_to_text(card);
        fuzz::require(card_to_text(card_from_text(written, "written back")) == written);
    } catch (const CardFileError &) {
    }
    close(fd);
    return 0;
}
