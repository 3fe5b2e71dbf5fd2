// Memory descriptors as the frame read uses them: one descriptor over a whole resident
// buffer, partial descriptors over its 64 KiB pieces, and the bus driver's view of each.
#include <gtest/gtest.h>

#include "platform/host/host_control.h"

namespace {

constexpr ULONG kTag = host::PoolTag("TMdl");

struct PoolBuffer {
    PUCHAR p;
    explicit PoolBuffer(size_t n)
        : p(static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, n, kTag))) {}
    ~PoolBuffer() { ExFreePool(p); }
};

TEST(Mdl, WholeBufferDescriptorBuiltForNonPagedPool) {
    PoolBuffer buffer(325632 + 16);
    PUCHAR start = buffer.p + 5;  // not page aligned
    PMDL mdl = IoAllocateMdl(start, 325632, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 325632u);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(start));
    EXPECT_EQ(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_NE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
    IoFreeMdl(mdl);
    EXPECT_EQ(host::PoolLiveCount(host::kMdlPoolTag), 0u);
}

TEST(Mdl, PartialDescriptorsCoverAFrameInChunks) {
    constexpr ULONG kLength = 325632;
    constexpr ULONG kChunk = 65536;
    PoolBuffer buffer(kLength);
    PMDL whole = IoAllocateMdl(buffer.p, kLength, FALSE, FALSE, nullptr);
    ASSERT_NE(whole, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    ULONG lengths[5] = {};
    int chunks = 0;
    for (ULONG offset = 0; offset < kLength; ++chunks) {
        ULONG length = kLength - offset < kChunk ? kLength - offset : kChunk;
        // As the frame read does: a descriptor sized for the whole buffer, filled partially.
        PMDL partial = IoAllocateMdl(MmGetMdlVirtualAddress(whole), kLength, FALSE, FALSE, nullptr);
        ASSERT_NE(partial, nullptr);
        IoBuildPartialMdl(whole, partial, buffer.p + offset, length);
        EXPECT_EQ(MmGetMdlVirtualAddress(partial), buffer.p + offset);
        EXPECT_EQ(MmGetMdlByteCount(partial), length);
        EXPECT_NE(partial->MdlFlags & MDL_PARTIAL, 0);
        // The bus driver reaches the bytes without a new mapping.
        auto* va = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
        EXPECT_EQ(va, buffer.p + offset);
        va[0] = UCHAR(chunks + 1);
        va[length - 1] = UCHAR(chunks + 0x11);
        lengths[chunks] = length;
        offset += length;
        IoFreeMdl(partial);
    }
    EXPECT_EQ(chunks, 5);
    EXPECT_EQ(lengths[4], 63488u);
    EXPECT_EQ(buffer.p[4 * kChunk], 5);
    EXPECT_EQ(buffer.p[kLength - 1], 0x15);
    IoFreeMdl(whole);
}

TEST(Mdl, PartialWithoutLengthTakesTheRest) {
    PoolBuffer buffer(10000);
    PMDL whole = IoAllocateMdl(buffer.p, 10000, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    PMDL partial = IoAllocateMdl(buffer.p, 10000, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, partial, buffer.p + 6000, 0);
    EXPECT_EQ(MmGetMdlByteCount(partial), 4000u);
    IoFreeMdl(partial);
    IoFreeMdl(whole);
}

TEST(Mdl, DescriptorsAttachToTheirRequest) {
    PoolBuffer buffer(100);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(buffer.p, 50, FALSE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    PMDL second = IoAllocateMdl(buffer.p + 50, 50, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

class MdlDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MdlDeathTest, MappingPagesThatWereNeverLocked) {
    EXPECT_DEATH(
        {
            PoolBuffer buffer(8192);
            PMDL whole = IoAllocateMdl(buffer.p, 8192, FALSE, FALSE, nullptr);
            PMDL partial = IoAllocateMdl(buffer.p, 8192, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(whole, partial, buffer.p, 4096);
            (void)MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
        },
        "never locked");
}

TEST_F(MdlDeathTest, PartialRangeOutsideTheSource) {
    EXPECT_DEATH(
        {
            PoolBuffer buffer(8192);
            PMDL whole = IoAllocateMdl(buffer.p, 4096, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(whole);
            PMDL partial = IoAllocateMdl(buffer.p, 8192, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(whole, partial, buffer.p + 4000, 200);
        },
        "runs past the source");
}

TEST_F(MdlDeathTest, PartialIntoATooSmallDescriptor) {
    EXPECT_DEATH(
        {
            PoolBuffer buffer(3 * 65536);
            PMDL whole = IoAllocateMdl(buffer.p, 3 * 65536, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(whole);
            PMDL small = IoAllocateMdl(buffer.p, 100, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(whole, small, buffer.p, 2 * 65536);
        },
        "too small");
}

}  // namespace
