// Draws the images of the skins (window icon, logo, option states, link
// icons, window backgrounds) and writes them as PNG files into the folder
// given on the command line. Shapes are plain geometry; edges are smoothed
// by sampling each pixel 8 x 8 times. Only zlib is used, so the build needs no image tools.
//
//   draw_skin_images <output folder>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgba {
    double r = 0, g = 0, b = 0, a = 1;
};

Rgba Hex(uint32_t rgb, double alpha = 1.0) {
    return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0, alpha};
}

const Rgba kWhite = Hex(0xFFFFFF);
const Rgba kNavy = Hex(0x1F4E8C);
const Rgba kBlue = Hex(0x2F6DB5);
const Rgba kGreen = Hex(0x30A139);
const Rgba kGrey = Hex(0x9AA3AE);
const Rgba kOrange = Hex(0xE58A1F);
const Rgba kRed = Hex(0xD9480F);
const Rgba kPage = Hex(0xF4F6FA);
const Rgba kRule = Hex(0xC9D3E0);

// Whether a point (in pixel units, y downwards) lies inside a shape.
using Shape = std::function<bool(double x, double y)>;
// The colour of a shape at a point (for gradients).
using Paint = std::function<Rgba(double x, double y)>;

Shape Circle(double cx, double cy, double r) {
    return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; };
}

Shape RoundRect(double x0, double y0, double x1, double y1, double r) {
    return [=](double x, double y) {
        if (x < x0 || x > x1 || y < y0 || y > y1)
            return false;
        const double dx = std::max({x0 + r - x, 0.0, x - (x1 - r)});
        const double dy = std::max({y0 + r - y, 0.0, y - (y1 - r)});
        return dx * dx + dy * dy <= r * r;
    };
}

// A stroke of width 2r from a to b with round ends.
Shape Capsule(double ax, double ay, double bx, double by, double r) {
    return [=](double x, double y) {
        const double vx = bx - ax, vy = by - ay;
        const double len2 = vx * vx + vy * vy;
        double t = len2 > 0 ? ((x - ax) * vx + (y - ay) * vy) / len2 : 0;
        t = std::clamp(t, 0.0, 1.0);
        const double dx = x - (ax + t * vx), dy = y - (ay + t * vy);
        return dx * dx + dy * dy <= r * r;
    };
}

// An arc stroke of the given width along a circle, from angle a0 clockwise
// (y points down) to a1, in degrees; round ends.
Shape Arc(double cx, double cy, double radius, double width, double a0, double a1) {
    const double half = width / 2;
    auto end = [=](double deg) {
        const double a = deg * kPi / 180;
        return Circle(cx + radius * std::cos(a), cy + radius * std::sin(a), half);
    };
    const Shape first = end(a0), last = end(a1);
    return [=](double x, double y) {
        const double d = std::hypot(x - cx, y - cy);
        if (std::abs(d - radius) <= half) {
            const double deg = std::atan2(y - cy, x - cx) * 180 / kPi;
            const double t = std::fmod(deg - a0 + 720.0, 360.0);
            if (t <= a1 - a0)
                return true;
        }
        return first(x, y) || last(x, y);
    };
}

Shape Polygon(std::vector<std::pair<double, double>> points) {
    return [points = std::move(points)](double x, double y) {
        bool inside = false;
        for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
            const auto [xi, yi] = points[i];
            const auto [xj, yj] = points[j];
            if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi)
                inside = !inside;
        }
        return inside;
    };
}

Shape Union(std::vector<Shape> parts) {
    return [parts = std::move(parts)](double x, double y) {
        return std::any_of(parts.begin(), parts.end(), [&](const Shape& s) { return s(x, y); });
    };
}

class Canvas {
public:
    Canvas(int width, int height)
        : width_(width), height_(height), pixels_(size_t(width) * height, Rgba{0, 0, 0, 0}) {}

    int width() const { return width_; }
    int height() const { return height_; }

    void Fill(const Shape& shape, const Rgba& color) {
        Fill(shape, [color](double, double) { return color; });
    }

    // Limits Fill to the pixels x0 <= x < x1, y0 <= y < y1 (a shape drawn
    // on a large canvas then costs only its own box).
    void Clip(int x0, int y0, int x1, int y1) {
        clip_ = {std::max(x0, 0), std::max(y0, 0), std::min(x1, width_), std::min(y1, height_)};
    }
    void Unclip() { clip_ = {0, 0, width_, height_}; }

    // A block of whole pixels, without sampling.
    void FillRect(int x0, int y0, int x1, int y1, const Rgba& c) {
        for (int py = std::max(y0, 0); py < std::min(y1, height_); ++py) {
            for (int px = std::max(x0, 0); px < std::min(x1, width_); ++px)
                Blend(pixels_[size_t(py) * width_ + px], c, c.a);
        }
    }

    // Paints `shape` over what is there, weighting each pixel by the share
    // of its samples inside the shape.
    void Fill(const Shape& shape, const Paint& paint) {
        constexpr int kSamples = 8;
        for (int py = clip_[1]; py < clip_[3]; ++py) {
            for (int px = clip_[0]; px < clip_[2]; ++px) {
                int hits = 0;
                for (int sy = 0; sy < kSamples; ++sy) {
                    for (int sx = 0; sx < kSamples; ++sx) {
                        if (shape(px + (sx + 0.5) / kSamples, py + (sy + 0.5) / kSamples))
                            ++hits;
                    }
                }
                if (hits == 0)
                    continue;
                const Rgba c = paint(px + 0.5, py + 0.5);
                Blend(pixels_[size_t(py) * width_ + px], c, c.a * hits / (kSamples * kSamples));
            }
        }
    }

    // Straight (not premultiplied) 8-bit RGBA rows.
    std::vector<uint8_t> Rgba8() const {
        std::vector<uint8_t> out;
        out.reserve(pixels_.size() * 4);
        auto byte = [](double v) {
            return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
        };
        for (const Rgba& p : pixels_) {
            const double a = p.a;
            out.push_back(a > 0 ? byte(p.r / a) : 0);
            out.push_back(a > 0 ? byte(p.g / a) : 0);
            out.push_back(a > 0 ? byte(p.b / a) : 0);
            out.push_back(byte(a));
        }
        return out;
    }

private:
    // `d` is premultiplied; `c` is drawn with opacity `a`.
    static void Blend(Rgba& d, const Rgba& c, double a) {
        d.r = c.r * a + d.r * (1 - a);
        d.g = c.g * a + d.g * (1 - a);
        d.b = c.b * a + d.b * (1 - a);
        d.a = a + d.a * (1 - a);
    }

    int width_;
    int height_;
    std::vector<Rgba> pixels_;
    std::array<int, 4> clip_{0, 0, width_, height_};
};

// ---------------------------------------------------------------------------
// PNG: signature, IHDR, one IDAT (RGBA rows, filter 0), IEND.

void PutU32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
    PutU32(out, static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    PutU32(out, static_cast<uint32_t>(crc32(crc32(0, nullptr, 0),
                                            reinterpret_cast<const Bytef*>(body.data()),
                                            static_cast<uInt>(body.size()))));
}

bool EncodePng(const Canvas& canvas, std::string& png) {
    const std::vector<uint8_t> rgba = canvas.Rgba8();
    const size_t stride = size_t(canvas.width()) * 4;
    std::string raw;
    for (int y = 0; y < canvas.height(); ++y) {
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(rgba.data()) + y * stride, stride);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return false;
    packed.resize(packedSize);

    std::string header;
    PutU32(header, static_cast<uint32_t>(canvas.width()));
    PutU32(header, static_cast<uint32_t>(canvas.height()));
    header += '\x08';  // bit depth
    header += '\x06';  // colour type: RGBA
    header += '\0';    // deflate
    header += '\0';    // filtering per row
    header += '\0';    // not interlaced

    png = "\x89PNG\r\n\x1A\n";
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", packed);
    PutChunk(png, "IEND", {});
    return true;
}

bool WritePng(const std::string& folder, const char* name, const Canvas& canvas) {
    std::string png;
    if (!EncodePng(canvas, png)) {
        std::fprintf(stderr, "draw_skin_images: cannot compress %s\n", name);
        return false;
    }
    const std::string path = folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "draw_skin_images: cannot create %s\n", path.c_str());
        return false;
    }
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "draw_skin_images: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The pictures.

// The product mark: a rounded blue square holding a white padlock, drawn in
// a 32 x 32 box at (ox, oy).
void DrawMark(Canvas& c, double ox, double oy) {
    c.Clip(int(std::floor(ox)), int(std::floor(oy)), int(std::ceil(ox + 32)),
           int(std::ceil(oy + 32)));
    auto X = [=](double x) { return ox + x; };
    auto Y = [=](double y) { return oy + y; };
    const Rgba top = kBlue, bottom = kNavy;
    c.Fill(RoundRect(X(0.5), Y(0.5), X(31.5), Y(31.5), 7), [=](double, double y) {
        const double t = std::clamp((y - oy) / 32, 0.0, 1.0);
        return Rgba{top.r + (bottom.r - top.r) * t, top.g + (bottom.g - top.g) * t,
                    top.b + (bottom.b - top.b) * t, 1};
    });
    // Shackle: the upper half of a ring, with straight legs into the body.
    c.Fill(Union({Arc(X(16), Y(13), 5, 2.6, 180, 360), Capsule(X(11), Y(13), X(11), Y(16.5), 1.3),
                  Capsule(X(21), Y(13), X(21), Y(16.5), 1.3)}),
           kWhite);
    c.Fill(RoundRect(X(8), Y(15), X(24), Y(26.5), 2.2), kWhite);
    // Keyhole.
    c.Fill(
        Union({Circle(X(16), Y(19.6), 1.9),
               Polygon(
                   {{X(15.1), Y(20.2)}, {X(16.9), Y(20.2)}, {X(17.4), Y(24)}, {X(14.6), Y(24)}})}),
        kNavy);
    c.Unclip();
}

Canvas Icon() {
    Canvas c(32, 32);
    DrawMark(c, 0, 0);
    return c;
}

// The mark followed by a "QM" monogram and a check mark, all strokes.
Canvas Logo() {
    Canvas c(120, 40);
    DrawMark(c, 4, 4);
    const double w = 1.7;
    c.Fill(Union({Arc(54, 20, 8.5, 2 * w, 0, 360), Capsule(57.5, 24, 64, 30.5, w)}), kNavy);
    c.Fill(Union({Capsule(70, 29, 70, 11, w), Capsule(70, 11, 78.5, 23, w),
                  Capsule(78.5, 23, 87, 11, w), Capsule(87, 11, 87, 29, w)}),
           kNavy);
    c.Fill(Union({Capsule(96, 20.5, 101.5, 26.5, 2), Capsule(101.5, 26.5, 113.5, 12.5, 2)}),
           kGreen);
    return c;
}

Canvas Radio(bool selected) {
    Canvas c(18, 18);
    c.Fill(Circle(9, 9, 7.6), selected ? kNavy : kGrey);
    c.Fill(Circle(9, 9, 6.3), kWhite);
    if (selected)
        c.Fill(Circle(9, 9, 3.7), kNavy);
    return c;
}

// A circular arrow: an open ring whose upper end carries an arrow head.
Canvas LinkUpdate() {
    Canvas c(16, 16);
    const double cx = 8, cy = 8.5, r = 5.2, a0 = -35;
    c.Fill(Arc(cx, cy, r, 2.0, a0, 255), kGreen);
    const double a = a0 * kPi / 180;
    const double px = cx + r * std::cos(a), py = cy + r * std::sin(a);
    const double dx = std::sin(a), dy = -std::cos(a);  // towards smaller angles
    const double nx = -dy, ny = dx;
    c.Fill(Polygon({{px + 3.0 * dx, py + 3.0 * dy},
                    {px - 0.8 * dx + 2.8 * nx, py - 0.8 * dy + 2.8 * ny},
                    {px - 0.8 * dx - 2.8 * nx, py - 0.8 * dy - 2.8 * ny}}),
           kGreen);
    return c;
}

// A speech bubble with three dots.
Canvas LinkFeedback() {
    Canvas c(16, 16);
    c.Fill(Union({RoundRect(1, 2, 15, 11.5, 2.8), Polygon({{4, 10}, {8.5, 10}, {3.5, 15}})}),
           kBlue);
    for (const double x : {4.8, 8.0, 11.2})
        c.Fill(Circle(x, 6.8, 1.1), kWhite);
    return c;
}

// A disc with a question mark.
Canvas LinkHelp() {
    Canvas c(16, 16);
    c.Fill(Circle(8, 8, 7.4), kOrange);
    const double cx = 8, cy = 6.0, r = 2.4;
    const double ex = cx + r * std::cos(kPi / 4), ey = cy + r * std::sin(kPi / 4);
    c.Fill(Union({Arc(cx, cy, r, 1.8, 180, 405), Capsule(ex, ey, 8, 9.6, 0.9)}), kWhite);
    c.Fill(Circle(8, 12.1, 1.1), kWhite);
    return c;
}

// A shopping cart.
Canvas LinkBuy() {
    Canvas c(16, 16);
    c.Fill(Union({Capsule(1.2, 2.8, 3.4, 2.8, 0.85), Capsule(3.4, 2.8, 5.0, 10.6, 0.85),
                  Capsule(5.0, 10.6, 13.4, 10.6, 0.8),
                  Polygon({{4.2, 4.6}, {15.0, 4.6}, {13.4, 9.6}, {5.2, 9.6}})}),
           kRed);
    c.Fill(Union({Circle(6.2, 13.4, 1.45), Circle(12.4, 13.4, 1.45)}), kRed);
    return c;
}

// A window background: the page colour with a dark title bar of the given
// height, the mark at its left.
Canvas WindowBackground(int width, int height, int barHeight) {
    Canvas c(width, height);
    c.FillRect(0, 0, width, height, kPage);
    c.FillRect(0, 0, width, barHeight, kNavy);
    DrawMark(c, (barHeight - 32) / 2.0 + 2, (barHeight - 32) / 2.0);
    return c;
}

// The main window: title bar, tab strip, page, and the bottom bar of links.
Canvas MainBackground() {
    Canvas c = WindowBackground(750, 520, 40);
    c.FillRect(0, 40, 750, 80, Hex(0xE3E9F2));
    c.FillRect(0, 79, 750, 80, kRule);
    c.FillRect(0, 470, 750, 520, Hex(0xE9EEF5));
    c.FillRect(0, 470, 750, 471, kRule);
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_skin_images <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::pair<const char*, Canvas> images[] = {
        {"icon.png", Icon()},
        {"logo.png", Logo()},
        {"radio_off.png", Radio(false)},
        {"radio_on.png", Radio(true)},
        {"link_update.png", LinkUpdate()},
        {"link_feedback.png", LinkFeedback()},
        {"link_help.png", LinkHelp()},
        {"link_buy.png", LinkBuy()},
        {"main_bg.png", MainBackground()},
        {"version_bg.png", WindowBackground(456, 478, 50)},
        {"feedback_bg.png", WindowBackground(550, 420, 50)},
    };
    for (const auto& [name, canvas] : images) {
        if (!WritePng(folder, name, canvas))
            return 1;
    }
    return 0;
}
