// Makes samples/render.iff: a small render of four spheres on a round floor under a low sun, with
// soft shadows, contact shading, an alpha channel (the sky is transparent, edges are
// antialiased) and a depth buffer. The module never writes depth, so the file is composed with
// the test-side file builder.
//
//     tniff_make_sample samples/render.iff           writes the file
//     tniff_make_sample --check samples/render.iff   exits 1 unless the file is exactly that
//
// Only IEEE-exact operations (+, -, *, /, sqrt) go into the pixels, so every machine makes the
// same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/iff_builder.h"

namespace {

const int kWidth = 360;
const int kHeight = 240;
const int kSamplesPerSide = 4;  // 16 rays per pixel

struct Vec {
    double x, y, z;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
Vec operator*(Vec a, Vec b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Length(Vec a) { return std::sqrt(Dot(a, a)); }
Vec Normalised(Vec a) { return a * (1.0 / Length(a)); }
Vec Cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double Clamp(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }
double SmoothStep(double v) {
    v = Clamp(v, 0.0, 1.0);
    return v * v * (3.0 - 2.0 * v);
}

struct Sphere {
    Vec centre;
    double radius;
    Vec albedo;
};

const Sphere kSpheres[] = {
    {{-1.25, 0.70, 5.2}, 0.70, {0.80, 0.18, 0.14}},
    {{0.55, 1.00, 6.6}, 1.00, {0.16, 0.38, 0.82}},
    {{1.70, 0.45, 4.4}, 0.45, {0.95, 0.70, 0.20}},
    {{-0.15, 0.30, 3.7}, 0.30, {0.25, 0.70, 0.32}},
};
// The floor: the plane y = 0 within this radius of this point.
const Vec kFloorCentre = {0.2, 0.0, 6.0};
const double kFloorRadius = 5.5;

const Vec kEye = {0.0, 1.35, 0.0};
const Vec kLookAt = {0.2, 0.55, 5.5};
const Vec kToSun = Normalised({-0.55, 0.75, -0.30});
const Vec kSunColour = {1.00, 0.93, 0.80};
const Vec kSkyColour = {0.45, 0.62, 0.90};

struct Hit {
    double distance = 0.0;  // along the ray; the ray's direction has unit length
    Vec point = {0.0, 0.0, 0.0};
    Vec normal = {0.0, 0.0, 0.0};
    Vec albedo = {0.0, 0.0, 0.0};
    bool floor = false;
};

bool HitSphere(Vec origin, Vec direction, const Sphere& sphere, double* distance) {
    Vec oc = origin - sphere.centre;
    double b = Dot(oc, direction);
    double c = Dot(oc, oc) - sphere.radius * sphere.radius;
    double h = b * b - c;
    if (h < 0.0) return false;
    double t = -b - std::sqrt(h);
    if (t <= 1e-6) return false;
    *distance = t;
    return true;
}

bool Trace(Vec origin, Vec direction, Hit* hit) {
    bool found = false;
    for (const Sphere& sphere : kSpheres) {
        double t;
        if (HitSphere(origin, direction, sphere, &t) && (!found || t < hit->distance)) {
            found = true;
            hit->distance = t;
            hit->point = origin + direction * t;
            hit->normal = Normalised(hit->point - sphere.centre);
            hit->albedo = sphere.albedo;
            hit->floor = false;
        }
    }
    if (direction.y < 0.0) {
        double t = -origin.y / direction.y;
        Vec point = origin + direction * t;
        Vec fromCentre = point - kFloorCentre;
        if (Length(fromCentre) < kFloorRadius && (!found || t < hit->distance)) {
            found = true;
            hit->distance = t;
            hit->point = point;
            hit->normal = {0.0, 1.0, 0.0};
            // Tiles of half a unit, two shades, fading towards the rim.
            long cx = static_cast<long>(std::floor(point.x * 2.0));
            long cz = static_cast<long>(std::floor(point.z * 2.0));
            double shade = ((cx + cz) & 1) != 0 ? 0.78 : 0.66;
            double rim = SmoothStep((kFloorRadius - Length(fromCentre)) / 1.5);
            shade = shade * (0.75 + 0.25 * rim);
            hit->albedo = {shade, shade * 0.97, shade * 0.92};
            hit->floor = true;
        }
    }
    return found;
}

// How much of the sun reaches point: soft shadows of the spheres, wider with distance.
double SunVisibility(Vec point) {
    double visible = 1.0;
    for (const Sphere& sphere : kSpheres) {
        Vec oc = point - sphere.centre;
        double along = -Dot(oc, kToSun);  // where the ray passes the centre
        if (along <= 0.0) continue;
        double passing = std::sqrt(Clamp(Dot(oc, oc) - along * along, 0.0, 1e30));
        double spread = 0.09 * along + 0.01;
        visible *= SmoothStep((passing - sphere.radius + spread) / (2.0 * spread));
    }
    return visible;
}

// Sky light that the spheres keep from point (contact shading).
double SkyVisibility(Vec point, Vec normal) {
    double occlusion = 0.0;
    for (const Sphere& sphere : kSpheres) {
        Vec toCentre = sphere.centre - point;
        double distance = Length(toCentre);
        double facing = Dot(normal, toCentre) / distance;
        if (facing <= 0.0) continue;
        double relative = distance / sphere.radius;
        occlusion += facing / (relative * relative);
    }
    return Clamp(1.0 - occlusion, 0.0, 1.0);
}

Vec Shade(const Hit& hit, Vec direction) {
    Vec lift = hit.point + hit.normal * 1e-4;
    double sun = Clamp(Dot(hit.normal, kToSun), 0.0, 1.0) * SunVisibility(lift);
    double sky = SkyVisibility(lift, hit.normal) * (0.55 + 0.45 * hit.normal.y);
    Vec colour = hit.albedo * (kSunColour * (0.95 * sun) + kSkyColour * (0.45 * sky));
    if (!hit.floor) {
        Vec halfway = Normalised(kToSun - direction);
        double highlight = Clamp(Dot(hit.normal, halfway), 0.0, 1.0);
        for (int i = 0; i < 6; ++i) highlight *= highlight;  // to the 64th power
        colour = colour + kSunColour * (0.6 * highlight * SunVisibility(lift));
    }
    return colour;
}

uint8_t ToByte(double linear) {
    double encoded = std::sqrt(Clamp(linear, 0.0, 1.0));  // gamma 2
    return static_cast<uint8_t>(std::floor(encoded * 255.0 + 0.5));
}

// Depth as a renderer stores it: the distance from the eye as a 32-bit float, whose bit patterns
// order like the values; 0 where nothing was hit.
uint32_t DepthBits(double distance) {
    float value = static_cast<float>(distance);
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

iffbuild::Image Render() {
    iffbuild::Image image = iffbuild::Image::Blank(kWidth, kHeight, 4, true);
    Vec forward = Normalised(kLookAt - kEye);
    Vec right = Normalised(Cross({0.0, 1.0, 0.0}, forward));
    Vec up = Cross(forward, right);
    const double halfWidth = 0.48;  // of the image plane at distance 1
    const double pixel = 2.0 * halfWidth / kWidth;

    for (int row = 0; row < kHeight; ++row) {
        for (int x = 0; x < kWidth; ++x) {
            Vec sum = {0.0, 0.0, 0.0};
            int hits = 0;
            double nearest = 0.0;
            for (int sy = 0; sy < kSamplesPerSide; ++sy) {
                for (int sx = 0; sx < kSamplesPerSide; ++sx) {
                    double u = (x + (sx + 0.5) / kSamplesPerSide) * pixel - halfWidth;
                    double v = (kHeight / 2.0 - (row + (sy + 0.5) / kSamplesPerSide)) * pixel;
                    Vec direction = Normalised(forward + right * u + up * v);
                    Hit hit;
                    if (!Trace(kEye, direction, &hit)) continue;
                    sum = sum + Shade(hit, direction);
                    if (hits == 0 || hit.distance < nearest) nearest = hit.distance;
                    ++hits;
                }
            }
            Vec colour;
            if (hits > 0) {
                colour = sum * (1.0 / hits);
            } else {
                double height = Clamp(static_cast<double>(kHeight - row) / kHeight, 0.0, 1.0);
                colour = kSkyColour * (0.75 + 0.25 * height);
            }
            image.At(x, row, 0) = ToByte(colour.x);
            image.At(x, row, 1) = ToByte(colour.y);
            image.At(x, row, 2) = ToByte(colour.z);
            image.At(x, row, 3) = static_cast<uint8_t>((hits * 255 + 8) / 16);
            image.DepthAt(x, row) = hits > 0 ? DepthBits(nearest) : 0;
        }
    }
    return image;
}

iffbuild::Bytes MakeFile() {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = Render();
    fileSpec.kinds = iffbuild::KindOrder::Interleaved;
    fileSpec.form = iffbuild::Form::Smallest;
    return iffbuild::BuildFile(fileSpec).bytes;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (!(argc == 2 && argv[1][0] != '-') && !check) {
        std::fprintf(stderr, "usage: tniff_make_sample FILE.iff | --check FILE.iff\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    iffbuild::Bytes bytes = MakeFile();
    if (check) {
        std::ifstream in(path, std::ios::binary);
        iffbuild::Bytes existing((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (existing != bytes) {
            std::fprintf(stderr, "%s differs from what tniff_make_sample makes (%zu bytes there, %zu made)\n", path,
                         existing.size(), bytes.size());
            return 1;
        }
        std::printf("%s is what tniff_make_sample makes (%zu bytes)\n", path, bytes.size());
        return 0;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    std::printf("wrote %s (%zu bytes, %d by %d, colour with alpha and depth)\n", path, bytes.size(), kWidth, kHeight);
    return 0;
}
