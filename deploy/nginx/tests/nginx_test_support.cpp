#include "deploy/nginx/tests/nginx_test_support.h"

namespace qm::test {

std::vector<std::u16string> BlocksOf(NginxUnderTest& d, const std::u16string& text) {
    std::vector<SiteNode> nodes;
    d.GetSiteNodesPosRange(text, nodes);
    std::vector<std::u16string> blocks;
    for (const auto& node : nodes)
        blocks.push_back(text.substr(node.start, node.end - node.start));
    return blocks;
}

}  // namespace qm::test
