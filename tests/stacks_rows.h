// SPDX-License-Identifier: MIT
// Stacks that put an input under DEST, or DEST under a device in use: each
// row builds one in the test's directory and names what the run is given.
#ifndef TALVOR_TESTS_STACKS_ROWS_H
#define TALVOR_TESTS_STACKS_ROWS_H

#include <string>
#include <vector>

#include "stacks_harness.h"

// How the run must be refused: DEST found on the input's storage, DEST read
// exactly as the input where its storage could not be followed, or DEST
// under a device in use.
enum class refused { same_storage, reads_as_input, in_use };

// A mounted ext4 image that must come out of the run whole and clean.
struct mounted_image {
    std::string mnt;
    std::string image;
};

// What a row gives the tool: names from the directory the run starts in.
struct stack_paths {
    std::string source;
    std::string destination;
    refused how = refused::same_storage;
    long long offset = 0;              // where DEST's bytes start in SOURCE, when it shows SOURCE
    bool shows_source = true;          // DEST exists and shows SOURCE's bytes
    std::string from;                  // the directory the run starts in, "" for the test's
    std::vector<std::string> kept;     // more files whose bytes must stay as they were
    std::vector<mounted_image> images; // checked clean once the run is over
};

// A row's paths: the rest as a plain stack gives them.
stack_paths paths(const std::string& source, const std::string& destination,
                  refused how = refused::same_storage, long long offset = 0);

// Public, for the table to name them.
class StackRows : public StackTest {
  public:
    bool relative_layers(stack_paths& p, std::string* why);
    bool relative_layers_reversed(stack_paths& p, std::string* why);
    bool renamed_upper_layer(stack_paths& p, std::string* why);
    bool copy_under_the_upper_layers_name(stack_paths& p, std::string* why);
    bool metacopy_lower_data(stack_paths& p, std::string* why);
    bool redirected_directory(stack_paths& p, std::string* why);
    bool overlay_over_an_overlay(stack_paths& p, std::string* why);
    bool other_mount_namespace(stack_paths& p, std::string* why);
    bool loop_over_a_loop(stack_paths& p, std::string* why);
    bool loop_over_an_overlay_file(stack_paths& p, std::string* why);
    bool loop_over_a_deleted_file(stack_paths& p, std::string* why);
    bool loop_from_another_namespace(stack_paths& p, std::string* why);
    bool fuse_view_of_the_source(stack_paths& p, std::string* why);
    bool dest_in_the_source_image(stack_paths& p, std::string* why);
    bool dest_in_the_source_devices_mount(stack_paths& p, std::string* why);
    bool dest_is_the_inputs_image(stack_paths& p, std::string* why);
    bool second_loop_over_a_mounted_image(stack_paths& p, std::string* why);
    bool btrfs_member_file(stack_paths& p, std::string* why);
    bool btrfs_second_member_under_the_source(stack_paths& p, std::string* why);

  protected:
    // The layers d/lower, d/upper, d/work and the mount point d/merged.
    void make_layers();
    // The overlay of make_layers' directories, by their full names.
    std::string overlay_command(const std::string& extra_options);
    // A Btrfs over two loop devices, mounted at d/bm.
    bool mount_two_device_btrfs(std::string* why);
};

#endif
