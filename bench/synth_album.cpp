// Writes a CD-format WAVE file (stereo, 44100 Hz, 16 bits) of music-like
// synthesized audio for the benchmark: chords of decaying harmonic notes that
// change every few seconds, a bass line, noise-burst percussion on the beat
// and a little background hiss, cut into songs of three to six minutes that
// fade out into two seconds of digital silence. The output is the same on
// every run.
//
//   synth_album <output.wav> <seconds> [seed [voices]]
//
// Another seed gives other songs, chords and noise; more voices (default 4)
// stack the chords into higher octaves, with hiss louder in proportion, for
// denser, noisier material.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kPi = 3.14159265358979323846;

// xorshift64*: small, fast and reproducible everywhere.
struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    explicit Random(std::uint64_t seed) : state(0x9E3779B97F4A7C15ull ^ (seed * 0xD1B54A32D192ED03ull)) {
        if (state == 0) state = 1;
    }
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double noise() { return uniform() * 2.0 - 1.0; }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

// One partial of a note, advanced by rotating a unit phasor each sample.
struct Partial {
    double re = 1, im = 0, stepRe = 1, stepIm = 0;
    double gain = 0, decay = 1;  // amplitude and its factor per sample
    void start(double hz, double amplitude, double seconds) {
        re = 1;
        im = 0;
        stepRe = std::cos(2 * kPi * hz / kRate);
        stepIm = std::sin(2 * kPi * hz / kRate);
        gain = amplitude;
        decay = std::exp(-1.0 / (seconds * kRate));
    }
    double next() {
        double r = re * stepRe - im * stepIm;
        im = re * stepIm + im * stepRe;
        re = r;
        gain *= decay;
        return im * gain;
    }
};

struct Voice {
    std::array<Partial, 6> partials;
    double panLeft = 0.5, panRight = 0.5;
    void start(double hz, double loudness, double seconds, double pan) {
        for (std::size_t h = 0; h < partials.size(); ++h) {
            double frequency = hz * static_cast<double>(h + 1);
            double amplitude = frequency < kRate / 2.2 ? loudness / static_cast<double>(h + 1) : 0;
            // Upper partials die away sooner, as on a plucked or struck string.
            partials[h].start(frequency, amplitude, seconds / (1.0 + 0.5 * static_cast<double>(h)));
        }
        panLeft = std::sqrt(1 - pan);
        panRight = std::sqrt(pan);
    }
    double next() {
        double sum = 0;
        for (Partial& p : partials) sum += p.next();
        return sum;
    }
};

double noteHz(int midiNote) { return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0); }

void putLe(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

}  // namespace

// Samples are written straight from memory; WAVE is little-endian.
static_assert(std::endian::native == std::endian::little);

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: synth_album <output.wav> <seconds> [seed [voices]]\n");
        return 2;
    }
    const long seconds = std::atol(argv[2]);
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
    const long voices = argc > 4 ? std::atol(argv[4]) : 4;
    if (voices < 1 || voices > 16) {
        std::fprintf(stderr, "synth_album: 1 to 16 voices\n");
        return 2;
    }
    const std::uint64_t frames = static_cast<std::uint64_t>(seconds) * kRate;
    const std::uint64_t dataBytes = frames * 4;
    if (seconds <= 0 || dataBytes > 0xFFFFFFFFull - 36) {
        std::fprintf(stderr, "synth_album: bad length\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }

    std::vector<unsigned char> header;
    for (char c : {'R', 'I', 'F', 'F'}) header.push_back(static_cast<unsigned char>(c));
    putLe(header, static_cast<std::uint32_t>(36 + dataBytes), 4);
    for (char c : {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}) header.push_back(static_cast<unsigned char>(c));
    putLe(header, 16, 4);
    putLe(header, 1, 2);             // PCM
    putLe(header, 2, 2);             // channels
    putLe(header, kRate, 4);         // sample rate
    putLe(header, kRate * 4, 4);     // bytes per second
    putLe(header, 4, 2);             // block align
    putLe(header, 16, 2);            // bits per sample
    for (char c : {'d', 'a', 't', 'a'}) header.push_back(static_cast<unsigned char>(c));
    putLe(header, static_cast<std::uint32_t>(dataBytes), 4);
    std::fwrite(header.data(), 1, header.size(), out);

    Random random(seed);
    // Triads and sevenths over the roots of a few common progressions.
    static const int kChordShapes[][4] = {{0, 4, 7, 12}, {0, 3, 7, 10}, {0, 4, 7, 11}, {0, 3, 7, 12}};
    static const int kRoots[] = {48, 53, 55, 45, 50, 52, 43, 47};
    std::vector<Voice> chord(static_cast<std::size_t>(voices));
    Voice bass;
    const int beat = kRate / 2;  // 120 beats a minute
    int chordLeft = 0, beatLeft = 0;
    std::uint64_t songEnd = 0;  // first sample after the current song's silence
    const std::uint64_t fadeLength = 4 * kRate, silenceLength = 2 * kRate;
    double drumGain = 0, drumDecay = 1, hissLow = 0, drumLow = 0;
    const double songGain = 5200.0;
    // Denser chords come with more hiss: noisier material, larger residuals.
    const double hissGain = 60.0 * static_cast<double>(voices) / 4.0;

    std::vector<std::int16_t> block;
    block.reserve(2 * 65536);
    for (std::uint64_t n = 0; n < frames; ++n) {
        if (n == songEnd) songEnd = n + static_cast<std::uint64_t>((180 + random.below(180)) * kRate);
        const std::uint64_t songLeft = songEnd - n;
        // Fade out, then silence: the encoder meets quiet and empty blocks too.
        const double level = songLeft <= silenceLength ? 0.0
                             : songLeft >= silenceLength + fadeLength
                                 ? 1.0
                                 : static_cast<double>(songLeft - silenceLength) / static_cast<double>(fadeLength);
        if (chordLeft == 0) {
            int root = kRoots[random.below(8)];
            const int* shape = kChordShapes[random.below(4)];
            double sustain = 1.5 + 2.5 * random.uniform();
            for (std::size_t v = 0; v < chord.size(); ++v)
                chord[v].start(noteHz(root + 12 + shape[v % 4] + 12 * static_cast<int>(v / 4)),
                               (0.5 + 0.5 * random.uniform()) * 4.0 / static_cast<double>(chord.size()), sustain,
                               0.2 + 0.6 * random.uniform());
            bass.start(noteHz(root - 12), 1.2, sustain * 1.5, 0.5);
            chordLeft = beat * (4 + 2 * random.below(3));  // 2, 3 or 4 seconds
        }
        if (beatLeft == 0) {
            drumGain = 0.6 + 0.4 * random.uniform();
            drumDecay = std::exp(-1.0 / (0.05 * kRate));
            beatLeft = beat;
        }
        --chordLeft;
        --beatLeft;

        double left = 0, right = 0;
        for (Voice& v : chord) {
            double s = v.next();
            left += s * v.panLeft;
            right += s * v.panRight;
        }
        double b = bass.next();
        left += b * 0.7;
        right += b * 0.7;
        // Percussion: low-passed noise with a fast decay.
        drumLow += 0.3 * (random.noise() - drumLow);
        double drum = drumLow * drumGain;
        drumGain *= drumDecay;
        // Background hiss: gently low-passed noise, slightly different per side.
        hissLow += 0.5 * (random.noise() - hissLow);
        double hissLeft = hissLow + 0.4 * random.noise();
        double hissRight = hissLow + 0.4 * random.noise();

        double l = level * (songGain * (left + drum) + hissGain * hissLeft);
        double r = level * (songGain * (right + drum * 0.9) + hissGain * hissRight);
        block.push_back(static_cast<std::int16_t>(std::clamp(std::lround(l), -32768L, 32767L)));
        block.push_back(static_cast<std::int16_t>(std::clamp(std::lround(r), -32768L, 32767L)));
        if (block.size() == block.capacity()) {
            std::fwrite(block.data(), sizeof(std::int16_t), block.size(), out);
            block.clear();
        }
    }
    std::fwrite(block.data(), sizeof(std::int16_t), block.size(), out);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
