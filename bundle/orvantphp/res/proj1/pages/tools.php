<?php
// Small pages that show one behaviour each:
//   /tools-echo.html   the request as this page sees it, as JSON
//   /tools-plain.html  plain text printed without an envelope
//   /tools-items.html  two JSON items in one reply
//   /tools-silent.html prints nothing at all

return function (VexaRequest $req, VexaReply $reply): void {
    switch ($req->evt) {
        case 'echo':
            $files = [];
            $cache = realpath(VexaRequest::cacheDir());
            foreach ($req->post as $name => $value) {
                $path = is_string($value) && $value !== '' ? realpath($value) : false;
                if ($cache !== false && $path !== false && str_starts_with($path, $cache . '/') && is_file($path)) {
                    $files[$name] = ['size' => filesize($path), 'md5' => md5_file($path)];
                }
            }
            $reply->contentType('application/json');
            $reply->send(json_encode([
                'ctrl' => $req->ctrl, 'evt' => $req->evt, 'evtp' => $req->evtp,
                'aroot' => $req->aroot, 'droot' => $req->droot,
                'info' => $req->info, 'post' => (object) $req->post, 'files' => (object) $files,
                'cookies' => (object) $req->cookies, 'sargv' => (object) $req->sargv,
                'projdir' => getenv('VEXA_PROJDIR'), 'projpath' => getenv('VEXA_PROJPATH'),
            ], JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_INVALID_UTF8_SUBSTITUTE));
            return;
        case 'plain':
            echo "plain text from PHP\n";
            return;
        case 'items':
            $reply->sendItems([
                ['response' => ['type' => 'jsonweb'], 'n' => 1],
                ['response' => ['type' => 'jsonweb'], 'n' => 2],
            ]);
            return;
        case 'silent':
            return;
    }
    $reply->send(vexa_layout('Tools', '<p>Unknown tool <code>' . vexa_h($req->evt) . '</code>.</p>'));
};
