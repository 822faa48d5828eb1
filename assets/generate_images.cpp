// Draws the plug-in's 24 images (refresh arrow, ten playlists in colour and
// greyed, three voice-chat states) and writes them as PNG files under the
// folder given on the command line, laid out as the plug-in reads them:
//   refresh.png, Playlists/<name>.png, Playlists/<name>_greyed.png, VoiceChat/voice_chat_{on,off,any}.png
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <stb/stb_easy_font.h>
#include <stb/stb_image_write.h>

namespace {

struct Rgba {
    float r, g, b, a;
};

struct Image {
    int w, h;
    std::vector<Rgba> px;
    Image(int width, int height) : w(width), h(height), px(static_cast<size_t>(width) * height, Rgba{0, 0, 0, 0}) {}

    // Source-over blend of one sample.
    void blend(int x, int y, Rgba c, float coverage = 1.f)
    {
        if (x < 0 || y < 0 || x >= w || y >= h) {
            return;
        }
        Rgba& d = px[static_cast<size_t>(y) * w + x];
        const float a = c.a * coverage;
        const float outA = a + d.a * (1 - a);
        if (outA <= 0) {
            return;
        }
        d.r = (c.r * a + d.r * d.a * (1 - a)) / outA;
        d.g = (c.g * a + d.g * d.a * (1 - a)) / outA;
        d.b = (c.b * a + d.b * d.a * (1 - a)) / outA;
        d.a = outA;
    }

    // Fills every pixel whose 4x4 sub-samples fall inside the shape, anti-aliased.
    template <typename Inside>
    void fill(Rgba c, Inside inside)
    {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int hits = 0;
                for (int sy = 0; sy < 4; ++sy) {
                    for (int sx = 0; sx < 4; ++sx) {
                        hits += inside(x + (sx + 0.5f) / 4.f, y + (sy + 0.5f) / 4.f) ? 1 : 0;
                    }
                }
                if (hits) {
                    blend(x, y, c, hits / 16.f);
                }
            }
        }
    }

    bool save(const std::filesystem::path& path) const
    {
        std::vector<unsigned char> bytes(px.size() * 4);
        for (size_t i = 0; i < px.size(); ++i) {
            bytes[i * 4 + 0] = static_cast<unsigned char>(std::lround(std::clamp(px[i].r, 0.f, 1.f) * 255));
            bytes[i * 4 + 1] = static_cast<unsigned char>(std::lround(std::clamp(px[i].g, 0.f, 1.f) * 255));
            bytes[i * 4 + 2] = static_cast<unsigned char>(std::lround(std::clamp(px[i].b, 0.f, 1.f) * 255));
            bytes[i * 4 + 3] = static_cast<unsigned char>(std::lround(std::clamp(px[i].a, 0.f, 1.f) * 255));
        }
        return stbi_write_png(path.string().c_str(), w, h, 4, bytes.data(), w * 4) != 0;
    }
};

Rgba rgb(int r, int g, int b, float a = 1.f) { return Rgba{r / 255.f, g / 255.f, b / 255.f, a}; }

void roundedRect(Image& img, float x0, float y0, float x1, float y1, float radius, Rgba c)
{
    img.fill(c, [&](float x, float y) {
        const float cx = std::clamp(x, x0 + radius, x1 - radius);
        const float cy = std::clamp(y, y0 + radius, y1 - radius);
        return x >= x0 && x <= x1 && y >= y0 && y <= y1 && (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
    });
}

// Text through stb_easy_font's quads, scaled and centred on (cx, cy).
void text(Image& img, const std::string& s, float cx, float cy, float scale, Rgba c)
{
    static char buffer[99999];
    const int quads = stb_easy_font_print(0, 0, const_cast<char*>(s.c_str()), nullptr, buffer, sizeof(buffer));
    // Shrink to fit the icon with a margin.
    scale = std::min(scale, (img.w - 24.f) / stb_easy_font_width(const_cast<char*>(s.c_str())));
    const float tw = stb_easy_font_width(const_cast<char*>(s.c_str())) * scale;
    const float th = 7 * scale;
    const float ox = cx - tw / 2, oy = cy - th / 2;
    const float* v = reinterpret_cast<const float*>(buffer); // 4 vertices per quad, x y z + colour (4 bytes)
    std::vector<std::array<float, 4>> rects;
    for (int q = 0; q < quads; ++q) {
        const float* a = v + q * 16;
        const float* b = a + 8; // third vertex: opposite corner
        rects.push_back({ox + a[0] * scale, oy + a[1] * scale, ox + b[0] * scale, oy + b[1] * scale});
    }
    img.fill(c, [&](float x, float y) {
        for (const auto& r : rects) {
            if (x >= r[0] && x < r[2] && y >= r[1] && y < r[3]) {
                return true;
            }
        }
        return false;
    });
}

Image playlistIcon(const std::string& top, const std::string& bottom, Rgba colour)
{
    Image img(128, 128);
    roundedRect(img, 4, 4, 124, 124, 22, colour);
    roundedRect(img, 10, 10, 118, 118, 18, Rgba{1, 1, 1, 0.12f});
    if (bottom.empty()) {
        text(img, top, 64, 66, 6.f, rgb(255, 255, 255));
    } else {
        text(img, top, 64, 46, 6.f, rgb(255, 255, 255));
        text(img, bottom, 64, 92, 4.f, rgb(255, 255, 255, 0.9f));
    }
    return img;
}

Image greyed(const Image& src)
{
    Image out = src;
    for (auto& p : out.px) {
        const float l = 0.3f * p.r + 0.59f * p.g + 0.11f * p.b;
        p = Rgba{l * 0.6f + 0.15f, l * 0.6f + 0.15f, l * 0.6f + 0.15f, p.a * 0.55f};
    }
    return out;
}

Image refreshArrow()
{
    Image img(128, 128);
    const float cx = 64, cy = 64, outer = 50, inner = 34;
    const float pi = 3.14159265f;
    img.fill(rgb(255, 255, 255), [&](float x, float y) {
        const float dx = x - cx, dy = y - cy;
        const float d = std::sqrt(dx * dx + dy * dy);
        float angle = std::atan2(dy, dx); // -pi..pi, 0 pointing right
        // A ring with a gap in the upper right, where the arrow head sits.
        return d >= inner && d <= outer && !(angle > -pi / 2 && angle < -pi / 8);
    });
    // Arrow head at the end of the ring, pointing clockwise (downwards).
    const float hx = cx + 42 * std::cos(-pi / 8), hy = cy + 42 * std::sin(-pi / 8);
    img.fill(rgb(255, 255, 255), [&](float x, float y) {
        // Triangle with a base across the ring and the tip further along the circle.
        const float ax = hx - 20, ay = hy - 4, bx = hx + 20, by = hy - 4, tx = hx, ty = hy + 22;
        auto side = [](float px, float py, float x0, float y0, float x1, float y1) {
            return (x1 - x0) * (py - y0) - (y1 - y0) * (px - x0);
        };
        const float s1 = side(x, y, ax, ay, bx, by), s2 = side(x, y, bx, by, tx, ty), s3 = side(x, y, tx, ty, ax, ay);
        return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
    });
    return img;
}

Image voiceChat(int state) // 0 any, 1 on, 2 off
{
    Image img(128, 128);
    const Rgba bg = state == 1 ? rgb(0, 150, 60) : state == 2 ? rgb(170, 30, 20) : rgb(53, 114, 162);
    roundedRect(img, 4, 4, 124, 124, 60, bg);
    const Rgba white = rgb(255, 255, 255);
    roundedRect(img, 50, 24, 78, 74, 14, white); // microphone head
    img.fill(white, [](float x, float y) {   // its holder: a U-shaped arc
        const float dx = x - 64, dy = y - 60;
        const float d = std::sqrt(dx * dx + dy * dy);
        return dy >= 0 && d >= 20 && d <= 26;
    });
    roundedRect(img, 61, 84, 67, 100, 1, white);
    roundedRect(img, 48, 98, 80, 104, 3, white);
    if (state == 2) {
        img.fill(white, [](float x, float y) { return std::fabs((x - 64) - (y - 64)) < 5 && x > 26 && x < 102; });
    } else if (state == 0) {
        text(img, "?", 100, 100, 4.f, white);
    }
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path out = argv[1];
    fs::create_directories(out / "Playlists");
    fs::create_directories(out / "VoiceChat");
    bool ok = refreshArrow().save(out / "refresh.png");

    struct Playlist {
        const char* file;
        const char* top;
        const char* bottom;
        Rgba colour;
    };
    const Playlist playlists[] = {
        {"2v2_ranked", "2V2", "RANKED", rgb(196, 120, 20)}, {"3v3_ranked", "3V3", "RANKED", rgb(180, 60, 40)},
        {"2v2_casual", "2V2", "CASUAL", rgb(40, 130, 190)}, {"3v3_casual", "3V3", "CASUAL", rgb(30, 90, 170)},
        {"tournament", "CUP", "TOURNEY", rgb(150, 110, 20)}, {"rumble", "RMB", "RUMBLE", rgb(120, 50, 160)},
        {"dropshot", "DRP", "DROPSHOT", rgb(200, 80, 30)},   {"hoops", "HPS", "HOOPS", rgb(210, 120, 40)},
        {"snowday", "SNW", "SNOWDAY", rgb(90, 160, 210)},    {"other", "...", "OTHER", rgb(90, 90, 100)},
    };
    for (const auto& p : playlists) {
        const Image icon = playlistIcon(p.top, p.bottom, p.colour);
        ok = icon.save(out / "Playlists" / (std::string(p.file) + ".png")) && ok;
        ok = greyed(icon).save(out / "Playlists" / (std::string(p.file) + "_greyed.png")) && ok;
    }
    ok = voiceChat(1).save(out / "VoiceChat" / "voice_chat_on.png") && ok;
    ok = voiceChat(2).save(out / "VoiceChat" / "voice_chat_off.png") && ok;
    ok = voiceChat(0).save(out / "VoiceChat" / "voice_chat_any.png") && ok;
    if (!ok) {
        std::fprintf(stderr, "could not write the images under %s\n", out.string().c_str());
        return 1;
    }
    return 0;
}
