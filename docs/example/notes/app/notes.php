<?php
// The notes page: GET / lists the notes; the form posts to /notes-add.html,
// the upload form to /notes-attach.html. The cookie "author" remembers the
// name for 30 days.

declare(strict_types=1);

return function (VexaRequest $req, VexaReply $reply): void {
    // Url-encoded fields arrive as the browser sent them: decode them here.
    $field = fn (string $name): string => urldecode((string) ($req->post[$name] ?? ''));
    // Cookie values arrive as sent, too; this page stores them encoded.
    $author = rawurldecode((string) ($req->cookies['author'] ?? ''));
    $said = '';

    if ($req->evt === 'add' && $req->method() === 'POST') {
        $author = $field('author');
        $note = notes_add($author, $field('text'));
        $reply->cookie('author', rawurlencode($author), 30);
        $said = "Note {$note['id']} saved.";
    } elseif ($req->evt === 'attach' && $req->method() === 'POST') {
        // Multipart fields arrive decoded; a file field holds the path of the
        // upload, saved in cache/ under the browser's file name (a distinct
        // one when that name is taken).
        $upload = (string) ($req->post['file'] ?? '');
        if ($upload !== '' && is_file($upload)) {
            // Out of the project folder at once: cache/ is served to anyone.
            $kept = notes_dir() . '/' . uniqid() . '-' . basename($upload);
            rename($upload, $kept);
            $note = notes_add($author, (string) ($req->post['text'] ?? ''), basename($upload));
            $said = "Note {$note['id']} saved with " . basename($upload) . ', ' . filesize($kept) . ' bytes.';
        } else {
            $said = 'No file arrived.';
        }
    }

    $items = '';
    foreach (notes_all() as $note) {
        $items .= '<li>' . vexa_h($note['author'] ?: 'someone') . ': ' . vexa_h($note['text'])
            . ($note['attachment'] !== '' ? ' [' . vexa_h($note['attachment']) . ']' : '') . "</li>\n";
    }
    $name = vexa_h($author);
    $reply->send(<<<HTML
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Notes</title><link rel="stylesheet" href="/style.css?v=1"></head>
<body><h1>Notes</h1>
<p id="said">$said</p>
<ul id="notes">
$items</ul>
<form method="post" action="/notes-add.html">
<input name="author" value="$name" placeholder="Your name">
<input name="text" placeholder="A note"> <button>Add</button>
</form>
<form method="post" action="/notes-attach.html" enctype="multipart/form-data">
<input type="file" name="file"> <input name="text" placeholder="About the file"> <button>Attach</button>
</form>
<p>Live: <span id="online">-</span> open pages. <input id="live-text" placeholder="A note for everyone">
<button id="live-send">Send live</button></p>
<script src="/live.js?v=1"></script>
</body></html>

HTML);
};
