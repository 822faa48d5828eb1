#pragma once
#include <filesystem>

// An image file handed to the host; the host loads it and makes a texture of it.
class ImageWrapper {
public:
    explicit ImageWrapper(std::filesystem::path path, bool canvasLoad = false, bool ImGuiLoad = false);
    ~ImageWrapper();
    ImageWrapper(const ImageWrapper&) = delete;
    ImageWrapper& operator=(const ImageWrapper&) = delete;

    // Null until the host has loaded the image for ImGui.
    void* GetImGuiTex();
    bool IsLoadedForImGui();

private:
    unsigned long long handle_ = 0;
};
