// SPDX-License-Identifier: MIT
// libsndfile reading bytes of ours through its virtual I/O: a file read with
// pread at positions of libsndfile's own, or bytes in memory. Header-only, for
// the programs that link libsndfile (wavrec, recscan); a failed read is kept
// as the system's error, whatever libsndfile makes of the missing bytes.
#pragma once

#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace recwav {

struct SoundFileReads {
    int fd = -1;                          // read with pread, or else
    const std::uint8_t* bytes = nullptr;  // these bytes
    sf_count_t length = 0;
    sf_count_t position = 0;
    int error = 0;  // of the first read that failed
};

namespace detail {

inline sf_count_t soundFileRead(void* into, sf_count_t count, void* user) {
    auto& reads = *static_cast<SoundFileReads*>(user);
    if (reads.fd < 0) {
        const sf_count_t left = reads.position < reads.length ? reads.length - reads.position : 0;
        const sf_count_t n = count < left ? count : left;
        if (n > 0) {
            std::memcpy(into, reads.bytes + reads.position, static_cast<std::size_t>(n));
        }
        reads.position += n;
        return n;
    }
    sf_count_t done = 0;
    while (done < count && reads.error == 0) {
        const ssize_t got =
            pread(reads.fd, static_cast<char*>(into) + done, static_cast<std::size_t>(count - done), reads.position);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reads.error = errno;
        }
        if (got <= 0) {
            break;
        }
        done += got;
        reads.position += got;
    }
    return done;
}

}  // namespace detail

inline SF_VIRTUAL_IO soundFileReadsIo() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* user) { return static_cast<SoundFileReads*>(user)->length; };
    io.seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
        auto& reads = *static_cast<SoundFileReads*>(user);
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? reads.position : reads.length;
        if (base + offset < 0) {
            return -1;
        }
        reads.position = base + offset;
        return reads.position;
    };
    io.read = detail::soundFileRead;
    io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
    io.tell = [](void* user) { return static_cast<SoundFileReads*>(user)->position; };
    return io;
}

}  // namespace recwav
