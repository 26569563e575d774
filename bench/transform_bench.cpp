// Throughput of the in-memory transform, on data in cache and far past it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "key_table.h"
#include "transform.h"

namespace {

void run_block_transform(benchmark::State& state, cipher_mode mode)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    const block_key key = make_block_key(mode, build_key_table("benchmark password"));
    std::uint64_t position = 0;
    for (auto _ : state) {
        transform_block(key, position, data.data(), data.size());
        benchmark::ClobberMemory();
        position += size;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void BM_encode_block(benchmark::State& state)
{
    run_block_transform(state, cipher_mode::encode);
}

void BM_decode_block(benchmark::State& state)
{
    run_block_transform(state, cipher_mode::decode);
}

// The byte-at-a-time definition, for comparison.
void BM_transform_byte(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> data(size, 0x5a);
    const key_table table = build_key_table("benchmark password");
    for (auto _ : state) {
        for (std::size_t i = 0; i < size; ++i) {
            data[i] = transform_byte(cipher_mode::encode, table[i % KEY_TABLE_SIZE], data[i]);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void BM_build_key_table(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(build_key_table("benchmark password"));
    }
}

}  // namespace

// 256 MiB is far past every cache: the figure the WebAssembly build is
// compared with (bench/web).
BENCHMARK(BM_encode_block)->Arg(16 << 10)->Arg(256 << 10)->Arg(256 << 20);
BENCHMARK(BM_decode_block)->Arg(16 << 10)->Arg(256 << 10)->Arg(256 << 20);
BENCHMARK(BM_transform_byte)->Arg(256 << 10);
BENCHMARK(BM_build_key_table);

BENCHMARK_MAIN();
