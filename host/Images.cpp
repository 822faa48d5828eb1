#include "Images.h"

#include <GLFW/glfw3.h>
#include <stb/stb_image.h>

#include <cstdint>

namespace sandbox {

Images::~Images() = default;

unsigned long long Images::create(const std::filesystem::path& path)
{
    Entry entry;
    int channels = 0;
    if (unsigned char* data = stbi_load(path.string().c_str(), &entry.width, &entry.height, &channels, 4)) {
        entry.pixels.assign(data, data + static_cast<size_t>(entry.width) * entry.height * 4);
        entry.decoded = entry.width > 0 && entry.height > 0;
        stbi_image_free(data);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto handle = next_++;
    entries_.emplace(handle, std::move(entry));
    return handle;
}

void* Images::texture(unsigned long long handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end() || !it->second.decoded) {
        return nullptr;
    }
    if (!withGL_) {
        return reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
    }
    return it->second.texture == 0 ? nullptr : reinterpret_cast<void*>(static_cast<uintptr_t>(it->second.texture));
}

void Images::release(unsigned long long handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) {
        return;
    }
    if (it->second.texture != 0) {
        doomed_.push_back(it->second.texture);
    }
    entries_.erase(it);
}

void Images::update()
{
    if (!withGL_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!doomed_.empty()) {
        glDeleteTextures(static_cast<GLsizei>(doomed_.size()), doomed_.data());
        doomed_.clear();
    }
    for (auto& [handle, entry] : entries_) {
        if (!entry.decoded || entry.texture != 0) {
            continue;
        }
        GLuint id = 0;
        glGenTextures(1, &id);
        glBindTexture(GL_TEXTURE_2D, id);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, entry.width, entry.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     entry.pixels.data());
        entry.texture = id;
        std::vector<unsigned char>().swap(entry.pixels);
    }
}

void Images::destroyTextures()
{
    if (!withGL_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [handle, entry] : entries_) {
        if (entry.texture != 0) {
            doomed_.push_back(entry.texture);
            entry.texture = 0;
            entry.decoded = false; // no texture will be made again
        }
    }
    if (!doomed_.empty()) {
        glDeleteTextures(static_cast<GLsizei>(doomed_.size()), doomed_.data());
        doomed_.clear();
    }
}

size_t Images::decodedCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& [handle, entry] : entries_) {
        n += entry.decoded ? 1 : 0;
    }
    return n;
}

} // namespace sandbox
