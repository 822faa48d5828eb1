#pragma once
// Images the plug-in hands to the host: decoded from PNG when created, turned
// into OpenGL textures on the render thread. Without GL (headless) a decoded
// image reports a non-null token that is never sampled.
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace sandbox {

class Images {
public:
    explicit Images(bool withGL) : withGL_(withGL) {}
    ~Images();

    // Any thread. Returns a non-zero handle even when the file does not decode.
    unsigned long long create(const std::filesystem::path& path);
    // Any thread: the ImGui texture id, or null until the render thread has made the texture.
    void* texture(unsigned long long handle);
    // Any thread; the texture itself is deleted on the render thread.
    void release(unsigned long long handle);

    // Render thread, GL context current: uploads decoded images, deletes released textures.
    void update();
    // Render thread, before the GL context goes away.
    void destroyTextures();

    size_t decodedCount();

private:
    struct Entry {
        std::vector<unsigned char> pixels; // RGBA, emptied once uploaded
        int width = 0;
        int height = 0;
        bool decoded = false;
        unsigned int texture = 0;
    };

    const bool withGL_;
    std::mutex mutex_;
    std::map<unsigned long long, Entry> entries_;
    std::vector<unsigned int> doomed_; // textures of released images
    unsigned long long next_ = 1;
};

} // namespace sandbox
