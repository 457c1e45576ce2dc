// Keeps the fakes library non-empty before any fake exists.
namespace zq_fakes_anchor {
int anchor = 0;
}
