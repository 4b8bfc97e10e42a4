# End-to-end tests of the live Linux kernel's store: the cases over a fake
# /proc/sys (procfs-run.sh builds the tree that a case file cannot), the
# walk of this machine's /proc/sys, and -j on a network namespace of its
# own. The last two report 77, a skip, where the machine cannot run them.
set(procfs_e2e ${PROJECT_SOURCE_DIR}/tests/e2e)
file(GLOB procfs_cases CONFIGURE_DEPENDS ${procfs_e2e}/procfs-cases/*.txt)
add_test(NAME e2e.procfs-fake
         COMMAND sh ${procfs_e2e}/procfs-run.sh $<TARGET_FILE:tunex_e2e> $<TARGET_FILE:tunex>
                 ${PROJECT_SOURCE_DIR}/tests/fixtures/procfs-tree.txt ${procfs_cases})
add_test(NAME e2e.procfs-live COMMAND sh ${procfs_e2e}/procfs-live.sh $<TARGET_FILE:tunex>)
add_test(NAME e2e.procfs-netns COMMAND sh ${procfs_e2e}/procfs-netns.sh $<TARGET_FILE:tunex>)
set_tests_properties(e2e.procfs-live e2e.procfs-netns PROPERTIES SKIP_RETURN_CODE 77)

# A snapshot of each kind of kernel loads back as the same machine.
add_test(NAME e2e.snapshot COMMAND sh ${procfs_e2e}/snapshot.sh $<TARGET_FILE:tunex> ${PROJECT_SOURCE_DIR})
