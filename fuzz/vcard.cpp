// The service's vCard reader through its public interface, built once per
// version (VCARD_VERSION) and per input (VCARD_FROM_FILE: the streaming
// reader over a descriptor, else the reader over text).  The fuzzer's bytes
// are the card's body after BEGIN and VERSION; an END follows them (the
// body may end the card itself and start others).  Every call either gives
// a card, ends the input, or throws ServiceError with a vCard code, and each card read or
// skipped moves the reader's offset forward, so the reader always ends.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "core/service-error.h"
#include "fuzz-input.h"
#include "vcard/vcard-reader.h"

using namespace contact_engine;

namespace {

// A descriptor the reader reads by position; memory only, closed on return.
class MemoryFile {
public:
    explicit MemoryFile(const std::string &text) : fd_(memfd_create("vcard-fuzz", 0))
    {
        fuzz::require(fd_ >= 0);
        for (std::size_t written = 0; written < text.size();) {
            const ssize_t n = write(fd_, text.data() + written, text.size() - written);
            fuzz::require(n > 0);
            written += std::size_t(n);
        }
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

void read_all(VCardReader reader, std::size_t length)
{
    std::uint64_t offset = reader.offset();
    for (;;) {
        bool ended = false;
        try {
            ended = !reader.next_contact().has_value();
        } catch (const ServiceError &error) {
            // A refusal says why in the vCard's own terms.
            fuzz::require((error.code >= kVCardSyntax && error.code <= kVCardUnreadable) || error.code == kInvalidUtf8);
        }
        if (ended)
            break;
        fuzz::require(reader.offset() > offset && reader.offset() <= length);
        offset = reader.offset();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text = "BEGIN:VCARD\r\nVERSION:" VCARD_VERSION "\r\n";
    text.append(reinterpret_cast<const char *>(data), size);
    text += "\r\nEND:VCARD\r\n";
#if VCARD_FROM_FILE
    const MemoryFile file(text);
    read_all(VCardReader::from_descriptor(file.fd()), text.size());
#else
    read_all(VCardReader::from_text(text), text.size());
#endif
    return 0;
}
