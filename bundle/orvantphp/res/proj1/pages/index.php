<?php
// The start page: what the sample shows, and what this request looked like.

require_once __DIR__ . '/../ws/section.php';  // WebSocket section (ws/)

return function (VexaRequest $req, VexaReply $reply): void {
    $pages = [
        '/form.html' => 'A form that posts text fields and uploads a file',
        '/stream.html' => 'A reply streamed in several parts over a few seconds',
        '/cookies.html' => 'A page that sets cookies and reply headers',
        '/stderr.html' => 'A page that writes to standard error',
        '/tools-echo.html' => 'The request as the page sees it, as JSON',
    ];
    $list = '';
    foreach ($pages as $href => $text) {
        $list .= '<li><a href="' . vexa_h($href) . '">' . vexa_h($text) . "</a></li>\n";
    }
    $body = "<p>Every page here is one run of PHP: the server starts <code>start.php</code> for the request "
        . "and streams what it prints back to the browser.</p>\n<ul>\n$list</ul>\n"
        . '<table><tr><th>Method</th><td>' . vexa_h($req->method()) . '</td></tr>'
        . '<tr><th>URL</th><td>' . vexa_h((string) ($req->info['URL'] ?? '')) . '</td></tr>'
        . '<tr><th>Page</th><td>' . vexa_h($req->server('PHP_SELF')) . '</td></tr>'
        . '<tr><th>PHP</th><td>' . vexa_h(PHP_VERSION) . "</td></tr></table>\n";
    $body .= vexa_ws_section();
    $reply->send(vexa_layout('Sample project', $body));
};
