/**
 * @file zkdict/channel.hpp
 * @brief zkdict::Channel, a buffered file channel (zklib's Channel), as the static dictionary's stream
 * readers and writers take it.
 *
 * @code
 * zkdict::Channel out("dicts.bin", zkdict::Channel::Mode::write);
 * dict.write(out);   // a length-prefixed image, read back with zkdict::HashDict::read
 * out.close();       // reports what the destructor would have to swallow
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_CHANNEL_HPP
#define ZKDICT_ZKDICT_CHANNEL_HPP

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zkdict/detail/common.hpp"

namespace zkdict {

/// @brief A buffered file channel. Move-only; a default-constructed or moved-from channel holds
/// nothing, and every transfer on it throws std::logic_error.
class Channel {
public:
    /// What the channel is opened for.
    enum class Mode { read, write };

    /// An empty handle, holding no channel.
    Channel() noexcept = default;
    /// @brief Opens path for reading, or for writing (created, or truncated).
    ///
    /// The open never waits: a FIFO opened for reading without a writer reads as empty, and one
    /// opened for writing without a reader is refused (ENXIO). A directory is refused (EISDIR).
    /// @param path             the file
    /// @param mode             Mode::read or Mode::write
    /// @param read_timeout_ms  the longest wait for the file to become readable, in ms; -1 for none
    /// @param write_timeout_ms the longest wait for it to become writable, in ms; -1 for none
    /// @throws zkdict::file_error naming the file when the channel cannot be made or the file opened;
    ///         zkdict::error (invalid_argument) for a path holding a NUL byte.
    Channel(const std::string& path, Mode mode, int read_timeout_ms = -1, int write_timeout_ms = -1) {
        const std::string p = detail::CString(path, "Channel: path");
        const int flags = mode == Mode::read ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
        const int fd = ::open(p.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) detail::ThrowFile(errno, "Channel: open", path);
        struct stat st;
        int err = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        // Opened without waiting; the transfers themselves wait as a channel's do.
        if (err == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) err = errno;
        if (err == 0) {
            ch_.reset(ChannelNew(read_timeout_ms, write_timeout_ms));
            if (!ch_) {
                err = errno;
            } else if (!ChannelOpenFd(ch_.get(), fd, mode == Mode::read ? "r" : "w")) {
                err = errno;
                ch_.reset();
            } else {
                return;
            }
        }
        ::close(fd);
        detail::ThrowFile(err, "Channel: open", path);
    }

    /// @brief The C channel, still owned by this object.
    /// @return the channel; NULL when empty.
    ::Channel* get() const noexcept { return ch_.get(); }
    /// @brief Whether a channel is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return ch_ != nullptr; }

    /// @brief Appends bytes to the output buffer.
    /// @param bytes the bytes
    /// @throws zkdict::error when a write of the buffer fails; std::logic_error on an empty channel.
    void write(std::span<const std::byte> bytes) {
        if (!ChannelWriteBuf(Need("Channel::write"), bytes.data(), bytes.size())) detail::ThrowErrno(errno, "ChannelWriteBuf");
    }
    /// @brief Appends the bytes of a string.
    /// @param bytes the bytes
    /// @throws as write(std::span<const std::byte>).
    void write(std::string_view bytes) { write(std::as_bytes(std::span(bytes.data(), bytes.size()))); }
    /// @brief Reads up to buffer.size() bytes.
    /// @param buffer where the bytes go
    /// @return how many arrived (fewer only at the end of the file).
    /// @throws zkdict::error when the read fails; std::logic_error on an empty channel.
    std::size_t read(std::span<std::byte> buffer) {
        std::size_t got = 0;
        errno = 0;
        if (ChannelReadBuf(Need("Channel::read"), buffer.data(), buffer.size(), &got) != 0 && errno != 0) {
            detail::ThrowErrno(errno, "ChannelReadBuf");
        }
        return got;
    }
    /// @brief Writes out the output buffer.
    /// @throws zkdict::error when the write fails; std::logic_error on an empty channel.
    void flush() {
        if (!ChannelFlush(Need("Channel::flush"))) detail::ThrowErrno(errno, "ChannelFlush");
    }
    /// @brief Flushes and syncs the file, for data that must survive a crash.
    /// @throws zkdict::error when the flush or the sync fails; std::logic_error on an empty channel.
    void sync() {
        if (!ChannelSync(Need("Channel::sync"))) detail::ThrowErrno(errno, "ChannelSync");
    }
    /// @brief Flushes and closes, reporting what the destructor would have to swallow; nothing on an
    /// empty channel.
    /// @throws zkdict::error when the flush or the close fails; the channel is released either way.
    void close() {
        if (!ch_) return;
        if (!ChannelClose(ch_.release())) detail::ThrowErrno(errno, "ChannelClose");
    }

private:
    ::Channel* Need(const char* what) const { return detail::Need(ch_.get(), what); }
    std::unique_ptr<::Channel, detail::CDeleter<ChannelClose>> ch_;
};

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_CHANNEL_HPP
