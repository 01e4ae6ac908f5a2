// pcl_bench: the cost of matching directory entries against policy lists,
// per name, for the globs alone and for whole lists as the walk uses them.
// fnmatch(3) over the same globs is the reference.
#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "policy/configfile.h"

namespace {

// A sample of the names found in /usr/lib, its multiarch directory,
// /usr/bin and /etc of a Debian host.
const char *const names[] = {
    "Mcrt1.o",
    "cppcheck",
    "fpc",
    "gprofng",
    "lapack",
    "libEGL.so.1.1.0",
    "libGLESv1_CM.so.1.2.0",
    "libGLX.so",
    "libGLdispatch.so.0.0.0",
    "libLLVM-15.so",
    "libSM.so.6",
    "libX11.so.6",
    "libXaw7.so.7.0.0",
    "libXdamage.so.1.1.0",
    "libXext.so.6.4.0",
    "libXft.so.2.3.6",
    "libXmuu.so.1.0.0",
    "libXrender.so.1.3.0",
    "libXt.so.6.0.0",
    "libXxf86vm.so.1.0.0",
    "libabsl_base.so.20220623.0.0",
    "libabsl_cord_internal.so.20220623.0.0",
    "libabsl_cordz_sample_token.so.20220623.0.0",
    "libabsl_exponential_biased.so.20220623.0.0",
    "libabsl_flags_config.so.20220623.0.0",
    "libabsl_flags_private_handle_accessor.so.20220623.0.0",
    "libabsl_flags_usage_internal.so.20220623.0.0",
    "libabsl_int128.so.20220623.0.0",
    "libabsl_malloc_internal.so.20220623.0.0",
    "libabsl_random_internal_platform.so.20220623.0.0",
    "libabsl_random_internal_randen_hwaes_impl.so.20220623.0.0",
    "libabsl_random_seed_sequences.so.20220623.0.0",
    "libabsl_spinlock_wait.so.20220623.0.0",
    "libabsl_str_format_internal.so.20220623.0.0",
    "libabsl_symbolize.so.20220623.0.0",
    "libabsl_time_zone.so.20220623.0.0",
    "libaom.so.3",
    "libapt-private.so.0.0",
    "libasound.so.2.0.0",
    "libatm.so.1.0.0",
    "libaudit.so.1.0.0",
    "libbabeltrace-ctf-metadata.so.1.0.0",
    "libbabeltrace-lttng-live.so.1.0.0",
    "libblas.a",
    "libboost_regex.so.1.74.0",
    "libbrotlidec.so",
    "libbsd.so.0.11.7",
    "libc++abi.so.1",
    "libcairo-gobject.so.2",
    "libcares.so.2",
    "libclang-14.so.14.0.6",
    "libcrmf.a",
    "libcryptsetup.so.12",
    "libcurl-gnutls.so.4",
    "libcurses.so",
    "libdconf.so.1",
    "libdeflate.so.0",
    "libdrm_intel.so.1",
    "libduktape.so.207",
    "libelf.so.1",
    "libexpat.so.1.8.10",
    "libext2fs.so.2",
    "libffi.so.8.1.2",
    "libfontconfig.so.1",
    "libformw.a",
    "libfreetype.a",
    "libgailutil.so.18.0.1",
    "libgccpp.so.1",
    "libgd.so.3",
    "libgdk_pixbuf-2.0.so.0",
    "libgio-2.0.so.0",
    "libglut.a",
    "libgmp.a",
    "libgnarl-12.so",
    "libgnutls-openssl.a",
    "libgnutlsxx.a",
    "libgpg-error.a",
    "libgprofng.so.0.0.0",
    "libgrpc++_error_details.so.1.51",
    "libgrpc_plugin_support.so.1.51",
    "libgstbase-1.0.so.0",
    "libgstreamer-1.0.so.0",
    "libgtk2.0-0",
    "libhistory.so.8.2",
    "libicudata.so.72.1",
    "libicuio.so.72.1",
    "libicutu.so.72.1",
    "libidn2.so.0.3.8",
    "libitm.so.1",
    "libjpeg.so.62.3.0",
    "libk5crypto.so.3.1",
    "libkrb5support.so.0.1",
    "liblber-2.5.so.0.1.8",
    "liblz4.so.1.9.4",
    "libm.so.6",
    "libmemusage.so",
    "libmenuw.so.6.4",
    "libmpfr.so.6.2.0",
    "libncurses.so.6",
    "libnettle.so.8",
    "libnsl.so.1",
    "libnss_dns.so.2",
    "libnssutil3.so",
    "libomp5.so",
    "libp11-kit.so",
    "libpam_misc.so.0.82.1",
    "libpanelw.so",
    "libpangoft2-1.0.so.0.5000.12",
    "libpcreposix.so.3",
    "libpipeline.so.1",
    "libplds4.a",
    "libpolkit-agent-1.so.0",
    "libproc2.so.0",
    "libpsx.so.2",
    "libpython3.11.so.1.0",
    "libreadline.so",
    "librhash.so.0",
    "libseccomp.so.2",
    "libsframe.so.0.0.0",
    "libsoftokn3.chk",
    "libsqlite3.so.0",
    "libssl.so.3",
    "libtasn1.a",
    "libtcl8.6.so.0",
    "libthread_db.so.1",
    "libtinfo.so",
    "libtirpc.so.3.0.0",
    "libtsan.so.2",
    "libunbound.so.8",
    "libunwind-x86_64.so.8",
    "libutempter.so.0",
    "libuv.so.1",
    "libx265.so.199",
    "libxcb-glx.so.0.0.0",
    "libxcb-render-util.so.0.0.0",
    "libxcb-sync.so.1.0.0",
    "libxcb.so",
    "libxkbfile.so.1.0.2",
    "libxmlsec1-gcrypt.la",
    "libxmlsec1-gnutls.so.1.2.37",
    "libxmlsec1-openssl.so",
    "libxshmfence.so.1",
    "libxxhash.so.0.8.1",
    "libz.so",
    "ossl-modules",
    "regina-rexx",
    "tk8.6",
    "FileCheck-14",
    "appstreamcli",
    "ar",
    "basenc",
    "bugpoint-14",
    "bzip2",
    "c99",
    "cg_annotate",
    "chmls",
    "clang++-14",
    "clang-extdef-mapping-14",
    "clang-offload-wrapper-14",
    "clang-tidy-diff",
    "cob-config",
    "corepack",
    "createdb",
    "curl",
    "dbus-send",
    "debconf-escape",
    "dh_installxmlcatalogs",
    "dnsdomainname",
    "dpkg-divert",
    "dpkg-realpath",
    "droplang",
    "editres",
    "expand",
    "fakeroot-sysv",
    "fc-query",
    "findmnt",
    "fpclasschart-3.2.2",
    "fppkg-3.2.2",
    "gcc-12",
    "gcov",
    "gdk-pixbuf-csource",
    "getconf",
    "git",
    "gmake",
    "gnathtml",
    "gnatname",
    "gpasswd",
    "gpgsm",
    "gresource",
    "gunzip",
    "hd",
    "hostnamectl",
    "infotocap",
    "ischroot",
    "jdeprscan",
    "join",
    "jstat",
    "lastb",
    "ldd",
    "libpng16-config",
    "lld-link-14",
    "llvm-as",
    "llvm-cfi-verify-14",
    "llvm-cxxfilt-14",
    "llvm-dwarfdump-14",
    "llvm-jitlink-14",
    "llvm-lto2",
    "llvm-mt-14",
    "llvm-otool-14",
    "llvm-readelf",
    "llvm-size-14",
    "llvm-symbolizer-14",
    "ln",
    "look",
    "lslogins",
    "lz4cat",
    "lzmore",
    "manpath",
    "mka64ins-3.2.2",
    "more",
    "msgen",
    "mtrace",
    "ncursesw6-config",
    "nm",
    "nspr-config",
    "openssl",
    "pas2ut-3.2.2",
    "perl",
    "pg_buildext",
    "pg_lsclusters",
    "pgrep",
    "pip3.11",
    "pl2pm",
    "pod2usage",
    "ppudump-3.2.2",
    "prove",
    "ptop",
    "pydoc3",
    "python3.11",
    "recode-sr-latin",
    "resizepart",
    "rpcgen",
    "rvim",
    "scan-build",
    "sed",
    "setterm",
    "shellcheck",
    "sort",
    "ssh-agent",
    "strings",
    "systemd-cat",
    "systemd-inhibit",
    "systemd-sysusers",
    "tclsh",
    "tload",
    "truncate",
    "ul",
    "unlz4",
    "users",
    "verify-uselistorder-14",
    "w",
    "wget",
    "x86_64",
    "x86_64-linux-gnu-fpcmkcfg-3.2.2",
    "x86_64-linux-gnu-gcc-ranlib",
    "x86_64-linux-gnu-gnat",
    "x86_64-linux-gnu-gnathtml-12",
    "x86_64-linux-gnu-gnatname-12",
    "x86_64-linux-gnu-gprofng",
    "x86_64-linux-gnu-pkgconf",
    "xdg-user-dir",
    "xlsclients",
    "xsubpp",
    "xzgrep",
    "zcmp",
    "zipgrep",
    "zstdless",
    "X11",
    "bats-core",
    "binfmt.d",
    "cmake",
    "cpp",
    "debug",
    "environment.d",
    "firmware",
    "girepository-1.0",
    "gnupg",
    "gold-ld",
    "groff",
    "init",
    "kernel",
    "llvm-14",
    "lsb",
    "mime",
    "modules-load.d",
    "openssh",
    "pam.d",
    "pkgconfig",
    "polkit-1",
    "python3",
    "sasl2",
    "ssl",
    "systemd",
    "tcl8.6",
    "tclooConfig.sh",
    "terminfo",
    "tkConfig.sh",
    "traceevent",
    "valgrind",
    ".java",
    "X11",
    "apache2",
    "apt",
    "bindresvport.blacklist",
    "ca-certificates.conf",
    "cron.weekly",
    "debconf.conf",
    "default",
    "dpkg",
    "environment.d",
    "fpc-3.2.2.cfg",
    "gai.conf",
    "glvnd",
    "groff",
    "gshadow",
    "gtk-2.0",
    "hosts",
    "inputrc",
    "issue.net",
    "ld.so.cache",
    "ldap",
    "locale.alias",
    "logcheck",
    "machine-id",
    "manpath.config",
    "mke2fs.conf",
    "mtab",
    "npmrc",
    "os-release",
    "passwd",
    "pip.conf",
    "postgresql-common",
    "protocols",
    "rc0.d",
    "rc3.d",
    "rc6.d",
    "rmt",
    "selinux",
    "services",
    "shadow-",
    "ssh",
    "subuid",
    "systemd",
    "tmpfiles.d",
    "vim",
    "xdg",
};
constexpr size_t NNAMES = sizeof names / sizeof names[0];

const char *const globs[] = {
    "proc",        "lost+found", "*-linux-gnu", "ssh_host_*_key", "*.conf",
    "ld.so.cache", "lib*.so.*",  "python3*",    ".git",           "*.pyc",
};

// The lists of /usr/lib, /etc and /home from the sample policy.
const char policy[] =
    "@NO:/usr/lib\n"
    "+N:S\nnamere:^python3(\\.[0-9]+)?$\nname:locale\n"
    "+ilugmsfc:I\nnamere:\\.so(\\.[0-9]+)*$\ntype:rl\n"
    "+C:I\ntype:d\n"
    "@NO:/etc\n"
    "+mug\nname:mtab\nname:adjtime\nname:ld.so.cache\n"
    "namere:^(resolv\\.conf|\\.pwd\\.lock|machine-id)$\n"
    "+N:S\nname:.git\n"
    "+F:I\n"
    "@NO:/home\n"
    "+mug:I\ntype:d\nuid:1000-\n"
    "+F:I\nname:.ssh\nname:authorized_keys\nname:.profile\nname:.bashrc\n";

struct policy_tree {
  pclt *t = nullptr;
  policy_tree()
  {
    char tmpl[] = "/tmp/pcl_bench.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0 || write(fd, policy, sizeof policy - 1) != sizeof policy - 1)
      abort();
    close(fd);
    t = pclt_init();
    int r = configfile_parse(tmpl, t);
    unlink(tmpl);
    if (r < 0) {
      configfile_perror();
      abort();
    }
  }
  ~policy_tree() { pclt_free(t); }
  const pcl *list(const char *dir, int *inherited)
  {
    return pclt_lookup(t, dir, inherited);
  }
};

struct stat
reg_file()
{
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_mode = S_IFREG | 0644;
  return st;
}

void
BM_GlobMatch(benchmark::State &state)
{
  for (auto _ : state)
    for (const char *n : names)
      for (const char *g : globs)
        benchmark::DoNotOptimize(glob_match(g, n));
  state.SetItemsProcessed(int64_t(state.iterations() * NNAMES));
}
BENCHMARK(BM_GlobMatch);

void
BM_Fnmatch(benchmark::State &state)
{
  for (auto _ : state)
    for (const char *n : names)
      for (const char *g : globs)
        benchmark::DoNotOptimize(fnmatch(g, n, 0));
  state.SetItemsProcessed(int64_t(state.iterations() * NNAMES));
}
BENCHMARK(BM_Fnmatch);

// One pcl_match per name under the list governing dir (arg: index below).
const char *const dirs[] = {"/usr/lib", "/etc", "/home", "/usr/lib/x/y"};

void
BM_PclMatch(benchmark::State &state)
{
  policy_tree pt;
  int inherited;
  const char *dir = dirs[state.range(0)];
  const pcl *l = pt.list(dir, &inherited);
  struct stat st = reg_file();
  for (auto _ : state)
    for (const char *n : names)
      benchmark::DoNotOptimize(pcl_match(l, n, &st, inherited));
  state.SetLabel(dir);
  state.SetItemsProcessed(int64_t(state.iterations() * NNAMES));
}
BENCHMARK(BM_PclMatch)->DenseRange(0, 3);

}  // namespace
